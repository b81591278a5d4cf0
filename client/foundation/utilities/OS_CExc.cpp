#include "OS_CExc.h"

#include <cstdio>
#include <utility>

OS_CExc::OS_CExc(std::string description, std::string file, int line, std::uint8_t code)
    : description_(std::move(description)), file_(std::move(file)), line_(line), code_(code)
{}

OS_CExc::~OS_CExc() = default;

const char* OS_CExc::CodeName(std::uint8_t code)
{
    static const char* const kNames[] = {"DB_EXC_INTERNAL_ERROR",
                                         "DB_EXC_IMPROPER_TYPE",
                                         "DB_EXC_PARSING_ERROR",
                                         "DB_EXC_BDB_ERROR",
                                         "DB_EXC_UNKNOWN_REP",
                                         "DB_EXC_SELECTEVAL_ERR",
                                         "DB_EXC_DUPLICATE_OBJECT",
                                         "DB_EXC_OBJECT_NOTFOUND",
                                         "DB_EXC_CONFIG_ERROR",
                                         "DB_EXC_DOT_NOTFOUND",
                                         "DB_EXC_DB_DEADLOCK",
                                         "DB_EXC_DOT_MISMATCH",
                                         "DB_EXC_INVALID_CONN",
                                         "UNKNOWN",
                                         "DB_EXC_DUPLICATE_SUBSCRIBER",
                                         "DB_EXC_SUBSCRIBER_NOTFOUND",
                                         "DB_EXC_REP_WITH_OPENCONNS",
                                         "DB_EXC_INVALID_REP",
                                         "DB_EXC_RTN_ERR_UP"};
    return code < sizeof kNames / sizeof kNames[0] ? kNames[code] : "UNKNOWN";
}

std::string OS_CExc::Format() const
{
    char buf[512];
    std::snprintf(buf, sizeof buf, "OS_CExc(%s): '%s' in '%s'(%d).", CodeName(code_), description_.c_str(),
                  file_.c_str(), line_);
    return buf;
}
