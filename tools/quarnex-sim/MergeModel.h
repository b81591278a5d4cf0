// An in-memory model of the image the backup service must store after a full or an
// incremental backup, written independently of the service's streaming merges so that tests
// can compare the two byte for byte.
//
// Assumes main clusters arrive in ascending blockID order, as a Quarnex server sends them.
// Ties between records of one blockID:
// - full backup: main record(s) first, then the scratch record(s), each in arrival order;
// - incremental: scratch record(s) first, then main record(s); every stored record whose
//   blockID a new record carries is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimTypes.h"

namespace quarnexsim {

class MergeModel {
public:
    static SimImage Full(const SimHeader& header, const std::vector<SimCluster>& clusters);
    static SimImage Incremental(const SimImage& stored, const SimHeader& header,
                                const std::vector<SimCluster>& clusters);

    // The stored form: little-endian header, then records (big-endian 12-byte header + data).
    static std::vector<std::uint8_t> Serialize(const SimImage& image);
    // Parses the stored form; false when it is not a whole header followed by whole records.
    static bool Parse(const std::vector<std::uint8_t>& bytes, SimImage& image);

    static bool Save(const std::string& path, const SimImage& image);
    static bool Load(const std::string& path, SimImage& image);

    static bool IsScratch(const SimCluster& c) { return (c.mode & kModeScratch) != 0; }
    static bool IsMain(const SimCluster& c) { return !IsScratch(c) && (c.mode & kModeMain) != 0; }
};

} // namespace quarnexsim
