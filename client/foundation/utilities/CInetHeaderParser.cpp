#include "CInetHeaderParser.h"

#include <cctype>
#include <climits>
#include <memory>

#include "Platform.h"

const char* const CInetHeaderParser::kNoParmValue = "xxx32885_NO_PARM_VALUE_xxx91085";

namespace {

// Parameter files are a few hundred bytes; refuse absurd sizes rather than
// allocating them.
constexpr std::int64_t kMaxFileSize = 16 * 1024 * 1024;

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}
inline bool IsBreak(char c)
{
    return c == '\r' || c == '\n';
}

// Reads a token that ends at `end`, a line break or the end of the text,
// following folded continuation lines.
std::string ReadToken(const char*& p, char end, bool isName)
{
    std::string token;
    bool blankThenNonBlank = false;
    while (IsBlank(*p))
        ++p;
    for (;;) {
        const char c = *p;
        if (c == '\0')
            break;
        if (IsBreak(c)) {
            const char* next = p + ((c == '\r' && p[1] == '\n') ? 2 : 1);
            if (!IsBlank(*next))
                break;
            const char* first = next;
            while (IsBlank(*first))
                ++first;
            // A continuation of blanks only, or one that starts with the end
            // character, ends the token at the line break.
            if (*first == '\0' || IsBreak(*first) || *first == end)
                break;
            token.append(next, static_cast<std::size_t>(first - next));
            p = first;
            continue;
        }
        if (c == end) {
            // "Name with blank: x" keeps its ":" once a blank has been followed by text.
            if (!(isName && end == ':' && blankThenNonBlank))
                break;
        }
        if (!IsBlank(c) && !token.empty() && IsBlank(token.back()))
            blankThenNonBlank = true;
        token += c;
        ++p;
    }
    return token;
}

// Skips what follows a value; true when another item of the same header follows.
bool SkipToNextItem(const char*& p)
{
    bool semicolon = false;
    int marks = 0;
    for (;;) {
        const char c = *p;
        if (IsBlank(c)) {
            ++p;
        } else if (c == ';' && !semicolon) {
            semicolon = true;
            ++p;
        } else if (IsBreak(c)) {
            ++p;
            if (IsBlank(*p)) {
                ++p;
            } else if (IsBreak(*p)) {
                if (++marks == 2)
                    return false; // a blank line ends the header
            } else {
                break;
            }
        } else {
            break;
        }
    }
    return semicolon;
}

// Conversions as a 32-bit C runtime's strtol/strtoul would make them.
std::int32_t ToInt32(const std::string& text)
{
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    std::int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1)
            value = static_cast<std::int64_t>(INT32_MAX) + 1;
    }
    if (negative)
        return value > INT32_MAX ? INT32_MIN : static_cast<std::int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

std::uint32_t ToUInt32(const std::string& text)
{
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    std::uint64_t value = 0;
    bool overflow = false;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;
        }
    }
    if (overflow)
        return UINT32_MAX;
    std::uint32_t v = static_cast<std::uint32_t>(value);
    return negative ? 0u - v : v;
}

// Line breaks or NULs inside a name or value would start a new header when the
// file is read back; they become blanks.
std::string OneLine(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return out;
}

} // namespace

CInetHeaderParser::CInetHeaderParser(bool caseSensitive) : caseSensitive_(caseSensitive) {}

CInetHeaderParser::CInetHeaderParser(const std::string& path, bool caseSensitive)
    : caseSensitive_(caseSensitive)
{
    hl::Platform& os = hl::Os();
    const std::int64_t size = os.FileSize(path);
    if (size <= 0 || size > kMaxFileSize)
        return; // an empty file does not load
    // Opened for writing too: a file that cannot be written does not load.
    const int fd = os.OpenFile(path, hl::OpenMode::ReadWrite);
    if (fd < 0)
        return;
    std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(size) + 1]);
    const std::int64_t got = os.Read(fd, buffer.get(), static_cast<std::size_t>(size));
    os.Close(fd);
    if (got != size)
        return;
    buffer[static_cast<std::size_t>(size)] = '\0';
    loaded_ = Parse(buffer.get());
}

CInetHeaderParser::~CInetHeaderParser() = default;

std::string CInetHeaderParser::Key(const std::string& name) const
{
    if (caseSensitive_)
        return name;
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool CInetHeaderParser::Parse(const char* text)
{
    if (!text)
        return false;
    const char* p = text;
    for (;;) {
        while (IsBlank(*p) || IsBreak(*p))
            ++p;
        if (*p == '\0')
            return true;

        TInetHdrParmsMap* target = nullptr;
        bool first = true;
        for (;;) {
            const char separator = first ? ':' : '=';
            std::string name = ReadToken(p, separator, true);
            if (*p == separator)
                ++p;
            if (name.empty())
                return false;
            name = Key(name);
            std::string value = ReadToken(p, ';', false);
            if (value.empty())
                value = kNoParmValue;
            if (first) {
                auto it = headers_.find(name);
                if (it == headers_.end()) {
                    target = &headers_[name];
                    target->emplace(name, value);
                } else {
                    // A repeated header adds its own value; its attributes are dropped.
                    it->second.emplace(name, value);
                    target = nullptr;
                }
                first = false;
            } else if (target) {
                target->emplace(name, value);
            }
            if (!SkipToNextItem(p))
                break;
        }
    }
}

bool CInetHeaderParser::GetParmValue(const std::string& header, const std::string& parm,
                                     std::string& value) const
{
    value.clear();
    auto h = headers_.find(Key(header));
    if (h == headers_.end())
        return false;
    auto it = h->second.find(Key(parm)); // first of equal names in insertion order
    if (it == h->second.end())
        return false;
    if (it->second == kNoParmValue)
        return true;
    std::string text = it->second;
    if (!text.empty() && text.front() == '"')
        text.erase(0, 1);
    if (!text.empty() && text.back() == '"')
        text.pop_back();
    // The no-value marker stays internal, also when a file spells it out in quotes.
    if (text != kNoParmValue)
        value = text;
    return true;
}

bool CInetHeaderParser::GetParmInt(const std::string& header, const std::string& parm,
                                   std::int32_t& value) const
{
    std::string text;
    if (!GetParmValue(header, parm, text))
        return false;
    value = ToInt32(text);
    return true;
}

bool CInetHeaderParser::GetParmUInt(const std::string& header, const std::string& parm,
                                    std::uint32_t& value) const
{
    std::string text;
    if (!GetParmValue(header, parm, text))
        return false;
    value = ToUInt32(text);
    return true;
}

bool CInetHeaderParser::AddHeader(const std::string& name, const std::string& value)
{
    const std::string key = Key(OneLine(name));
    if (headers_.count(key))
        return false;
    headers_[key].emplace(key, OneLine(value));
    return true;
}

void CInetHeaderParser::AddHeaderInt(const std::string& name, std::int32_t value)
{
    AddHeader(name, std::to_string(value));
}

void CInetHeaderParser::AddHeaderUInt(const std::string& name, std::uint32_t value)
{
    AddHeader(name, std::to_string(value));
}

std::string CInetHeaderParser::ToText() const
{
    std::string out;
    for (const auto& [name, parms] : headers_) {
        std::string attributes;
        for (const auto& [parm, value] : parms) {
            if (parm == name)
                continue;
            attributes += ";\r\n    ";
            attributes += parm;
            if (value != kNoParmValue)
                attributes += "= " + value;
        }
        auto own = parms.equal_range(name);
        for (auto it = own.first; it != own.second; ++it) {
            out += name;
            if (it->second != kNoParmValue)
                out += ": " + it->second;
            out += attributes;
            out += "\r\n";
        }
    }
    return out;
}

bool CInetHeaderParser::Save(const std::string& path) const
{
    // Written beside the target, made durable, then renamed over it: a failed
    // or interrupted save leaves the previous file whole instead of truncated.
    hl::Platform& os = hl::Os();
    const std::string text = ToText();
    const std::string temp = path + ".tmp";
    const int fd = os.OpenFile(temp, hl::OpenMode::Truncate);
    if (fd < 0)
        return false;
    bool ok = os.Write(fd, text.data(), text.size()) && os.Sync(fd);
    ok = os.Close(fd) && ok;
    ok = ok && os.MoveFile(temp, path);
    if (!ok) {
        int error = hl::Platform::LastError();
        os.DeleteFile(temp);
        hl::Platform::SetLastError(error);
        return false;
    }
    auto slash = path.find_last_of('/');
    os.SyncDirectory(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
    return true;
}
