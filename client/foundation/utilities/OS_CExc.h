// Exception of the thread wrapper, with a database-style code.
#pragma once

#include <cstdint>
#include <string>

enum DB_EXC_CODE : std::uint8_t {
    DB_EXC_INTERNAL_ERROR = 0,
    DB_EXC_IMPROPER_TYPE = 1,
    DB_EXC_PARSING_ERROR = 2,
    DB_EXC_BDB_ERROR = 3,
    DB_EXC_UNKNOWN_REP = 4,
    DB_EXC_SELECTEVAL_ERR = 5,
    DB_EXC_DUPLICATE_OBJECT = 6,
    DB_EXC_OBJECT_NOTFOUND = 7,
    DB_EXC_CONFIG_ERROR = 8,
    DB_EXC_DOT_NOTFOUND = 9,
    DB_EXC_DB_DEADLOCK = 10,
    DB_EXC_DOT_MISMATCH = 11,
    DB_EXC_INVALID_CONN = 12,
    // 13 has no name of its own.
    DB_EXC_DUPLICATE_SUBSCRIBER = 14,
    DB_EXC_SUBSCRIBER_NOTFOUND = 15,
    DB_EXC_REP_WITH_OPENCONNS = 16,
    DB_EXC_INVALID_REP = 17,
    DB_EXC_RTN_ERR_UP = 18,
};

class OS_CExc {
public:
    OS_CExc(std::string description, std::string file, int line, std::uint8_t code);
    OS_CExc(const OS_CExc& other) = default;
    OS_CExc& operator=(const OS_CExc& other) = default;
    virtual ~OS_CExc();

    // "OS_CExc(<code name>): '<description>' in '<file>'(<line>)." cut to 511 characters.
    virtual std::string Format() const;

    // Name printed for a code; "UNKNOWN" for 13 and anything above 18.
    static const char* CodeName(std::uint8_t code);

    const std::string& GetDescription() const { return description_; }
    const std::string& GetFile() const { return file_; }
    int GetLine() const { return line_; }
    std::uint8_t GetCode() const { return code_; }

private:
    std::string description_;
    std::string file_;
    int line_;
    std::uint8_t code_;
};
