#include "CClientExc.h"

CClientExc::CClientExc(const char* description, int id, const char* file, int line)
    : id_(id), file_(file), line_(line)
{
    SetDescription(description);
}

CClientExc* CClientExc::Clone() const
{
    return new CClientExc(*this);
}

CClientExc::~CClientExc() = default;

const char* CClientExc::GetDescription() const
{
    return description_.c_str();
}

void CClientExc::SetDescription(const char* text)
{
    description_ = (text && *text) ? text : "no specific error details";
}

std::string CClientExc::GetDisplayText() const
{
    return "[ID: " + std::to_string(id_) + "] " + description_;
}
