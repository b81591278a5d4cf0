// libFuzzer harness: parameter files are written by hand and by other tools, so
// the parser must survive any bytes without crashing, hanging or reading past
// the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CInetHeaderParser.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void Exercise(const std::string& text, bool caseSensitive)
{
    CInetHeaderParser parser(caseSensitive);
    parser.Parse(text.c_str());
    for (const auto& [name, parms] : parser.Headers()) {
        std::string value;
        // Every header holds its own value under its own name.
        Check(parser.GetParmValue(name, name, value));
        for (const auto& entry : parms) {
            Check(parser.GetParmValue(name, entry.first, value));
            Check(value != CInetHeaderParser::kNoParmValue);
        }
        std::int32_t i = 0;
        std::uint32_t u = 0;
        Check(parser.GetParmInt(name, name, i));
        Check(parser.GetParmUInt(name, name, u));
    }
    // What the parser writes must itself be readable text for the parser.
    const std::string saved = parser.ToText();
    CInetHeaderParser again(caseSensitive);
    again.Parse(saved.c_str());
    again.ToText();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The file reader hands the parser a NUL-terminated buffer; the text ends at
    // its first NUL.
    const std::string text(reinterpret_cast<const char*>(data), size);
    Exercise(text, true);
    Exercise(text, false);
    return 0;
}
