#include "ResultTable.h"

#include <cstdio>

namespace bench {

namespace {

std::string Value(double v, const std::string& unit)
{
    if (v < 0)
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %s", v, unit.c_str());
    return text;
}

std::string RatioText(const ResultRow& r)
{
    if (!ResultTable::Measured(r))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ResultTable::Ratio(r));
    return text;
}

std::string CpuRatio(const ResultRow& r)
{
    if (r.cpuHarborlock < 0 || r.cpuBaseline <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", r.cpuHarborlock / r.cpuBaseline);
    return text;
}

std::string Verdict(const ResultRow& r)
{
    if (!ResultTable::Measured(r))
        return r.note.empty() ? "not measured" : r.note;
    std::string v = ResultTable::Ratio(r) <= r.target ? "met" : "MISSED";
    if (!r.note.empty())
        v += " (" + r.note + ")";
    return v;
}

std::string TargetText(const ResultRow& r)
{
    char text[32];
    std::snprintf(text, sizeof text, "<= %.2f", r.target);
    return text;
}

} // namespace

std::string ResultTable::Text() const
{
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-50s %13s %13s %6s %8s %9s  %s\n", "figure", "Harborlock", "baseline",
                  "ratio", "target", "cpu ratio", "");
    out += line;
    for (const ResultRow& r : m_rows) {
        std::snprintf(line, sizeof line, "%-50s %13s %13s %6s %8s %9s  %s\n", r.figure.c_str(),
                      Value(r.harborlock, r.unit).c_str(), Value(r.baseline, r.unit).c_str(),
                      RatioText(r).c_str(), TargetText(r).c_str(), CpuRatio(r).c_str(), Verdict(r).c_str());
        out += line;
    }
    return out;
}

std::string ResultTable::Markdown() const
{
    std::string out = "| Figure | Harborlock | Baseline | Ratio | Target | CPU ratio | "
                      "|\n|---|---:|---:|---:|---:|---:|---|\n";
    for (const ResultRow& r : m_rows)
        out += "| " + r.figure + " | " + Value(r.harborlock, r.unit) + " | " + Value(r.baseline, r.unit) +
               " | " + RatioText(r) + " | " + TargetText(r) + " | " + CpuRatio(r) + " | " + Verdict(r) +
               " |\n";
    return out;
}

bool ResultTable::AllMet() const
{
    for (const ResultRow& r : m_rows)
        if (Measured(r) && Ratio(r) > r.target)
            return false;
    return true;
}

} // namespace bench
