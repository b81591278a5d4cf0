// Reads and writes parameter files: one "Name: value" header per line with
// optional ";"-separated attributes and folded continuation lines; CR LF on save.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Parameter name -> value; a header's own value is stored under its own name.
using TInetHdrParmsMap = std::multimap<std::string, std::string>;

class CInetHeaderParser {
public:
    // Stored for a header or attribute written without a value; never returned.
    static const char* const kNoParmValue;

    // Empty parser for writing.
    explicit CInetHeaderParser(bool caseSensitive);
    // Reads and parses the file; IsLoaded() tells whether that succeeded whole.
    CInetHeaderParser(const std::string& path, bool caseSensitive);
    CInetHeaderParser(const CInetHeaderParser&) = delete;
    CInetHeaderParser& operator=(const CInetHeaderParser&) = delete;
    ~CInetHeaderParser();

    bool IsLoaded() const { return loaded_; }

    // Parses NUL-terminated text into this parser; false (keeping what was
    // parsed before the fault) on an empty name.
    bool Parse(const char* text);

    // Value of a parameter (pass the header name twice for its own value), with
    // one leading and one trailing quotation mark removed. "" for no value.
    bool GetParmValue(const std::string& header, const std::string& parm, std::string& value) const;
    // As strtol/strtoul would read the value; `value` unchanged when not found.
    bool GetParmInt(const std::string& header, const std::string& parm, std::int32_t& value) const;
    bool GetParmUInt(const std::string& header, const std::string& parm, std::uint32_t& value) const;

    // Adds a header with one value; false (nothing changed) if the name exists.
    bool AddHeader(const std::string& name, const std::string& value);
    void AddHeaderInt(const std::string& name, std::int32_t value);
    void AddHeaderUInt(const std::string& name, std::uint32_t value);

    // The written form of every header, CR LF line ends.
    std::string ToText() const;
    // Writes ToText() to `path`, replacing the file; false on failure.
    bool Save(const std::string& path) const;

    const std::map<std::string, TInetHdrParmsMap>& Headers() const { return headers_; }

private:
    std::string Key(const std::string& name) const;

    std::map<std::string, TInetHdrParmsMap> headers_;
    bool caseSensitive_;
    bool loaded_ = false;
};
