// Writes a setup file: the stub's image, the payload files one after another,
// the file table and the footer.
#pragma once

#include "CPayloadFormat.h"

#include <cstdint>
#include <string>
#include <vector>

class CPayloadPacker {
public:
    // Adds a payload file; `name` is what the stub will call it when unpacking
    // (empty = the file's own name).
    void AddFile(std::uint32_t type, const std::string& path, const std::string& name = {});

    // Writes `output` (made executable). On failure returns false, leaves no
    // output behind and says why in `error`.
    bool Write(const std::string& stubPath, const std::string& output, std::string& error) const;

private:
    struct Item {
        std::uint32_t type;
        std::string path;
        std::string name;
    };
    std::vector<Item> m_items;
};
