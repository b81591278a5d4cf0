// Environment variables a test changes for its own run: set for the life of the object, then
// put back as they were (or removed when they were not set).
#pragma once

#include <cstdlib>
#include <string>

#include "Platform.h"

namespace testsupport {

class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : m_name(std::move(name))
    {
        const char* old = std::getenv(m_name.c_str());
        m_had = old != nullptr;
        m_saved = old ? old : "";
        ::setenv(m_name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (m_had)
            ::setenv(m_name.c_str(), m_saved.c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::string m_saved;
    bool m_had = false;
};

// The time zone, through the platform (which makes the C library read it again).
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone)
    {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        m_saved = old ? old : "";
        hl::Os().SetTimeZone(zone);
    }
    ~ScopedTimeZone() { hl::Os().SetTimeZone(m_had ? m_saved : ""); }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::string m_saved;
    bool m_had = false;
};

} // namespace testsupport
