// Text pieces of harborlockd's answers to harborlock-ctl: JSON strings, one-message answers,
// server IDs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// {"result":..., "text":...} or the text alone.
inline std::string Message(bool json, const std::string& result, const std::string& text, int code = -1)
{
    if (!json)
        return text + "\n";
    std::string out = "{\"result\":" + Json(result);
    if (code >= 0)
        out += ",\"code\":" + std::to_string(code);
    return out + ",\"text\":" + Json(text) + "}\n";
}

inline std::string Hex8(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", value);
    return buf;
}
