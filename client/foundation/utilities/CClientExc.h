// The one exception type of the program's own code.
#pragma once

#include <string>

class CClientExc {
public:
    // `file` must point to a static string (not copied).
    CClientExc(const char* description, int id, const char* file, int line);
    CClientExc(const CClientExc& other) = default;
    CClientExc& operator=(const CClientExc& other) = default;

    virtual CClientExc* Clone() const;
    virtual ~CClientExc();
    virtual const char* GetDescription() const;

    // Stores a copy of `text`, or "no specific error details" for null or "".
    void SetDescription(const char* text);

    int GetId() const { return id_; }
    const char* GetFile() const { return file_; }
    int GetLine() const { return line_; }
    // "[ID: <id>] <description>"
    std::string GetDisplayText() const;

private:
    std::string description_;
    int id_;
    const char* file_;
    int line_;
};
