// Every byte of a backup data file (all its sub-files in order), read through CBFMFile.
#pragma once

#include <cstdint>
#include <vector>

#include "CBFMFile.h"

namespace testsupport {

// False when the file could not be read whole.
inline bool ReadDataFile(CBFMFile& file, std::vector<std::uint8_t>& bytes)
{
    bytes.assign(static_cast<std::size_t>(file.GetSize()), 0);
    std::uint32_t got = 0;
    return bytes.empty() || file.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), got);
}

} // namespace testsupport
