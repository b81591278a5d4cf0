// The one table a benchmark run prints: each figure for Harborlock and its baseline, the
// ratio and the target the ratio must meet.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct ResultRow {
    std::string figure;
    std::string unit;       // of the two values
    double harborlock = -1; // negative: not measured
    double baseline = -1;
    double target = 0;         // largest acceptable ratio
    std::string note;          // why a row was skipped or failed
    double cpuHarborlock = -1; // processor seconds of the same runs, where measured
    double cpuBaseline = -1;
};

class ResultTable {
public:
    void Add(ResultRow row) { m_rows.push_back(std::move(row)); }
    const std::vector<ResultRow>& Rows() const { return m_rows; }

    std::string Text() const;
    // The same as a Markdown table.
    std::string Markdown() const;
    // True when every measured row meets its target.
    bool AllMet() const;

    static bool Measured(const ResultRow& r) { return r.harborlock >= 0 && r.baseline > 0; }
    static double Ratio(const ResultRow& r) { return r.harborlock / r.baseline; }

private:
    std::vector<ResultRow> m_rows;
};

} // namespace bench
