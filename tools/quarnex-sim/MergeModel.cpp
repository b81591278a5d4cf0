#include "MergeModel.h"

#include <algorithm>
#include <set>

#include "Platform.h"

namespace quarnexsim {

namespace {

struct Keyed {
    std::uint32_t blockID;
    int group; // order among records of one blockID
    const SimCluster* cluster;
};

std::vector<SimCluster> SortedByKey(std::vector<Keyed> keyed)
{
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.blockID != b.blockID)
            return a.blockID < b.blockID;
        return a.group < b.group;
    });
    std::vector<SimCluster> out;
    out.reserve(keyed.size());
    for (const Keyed& k : keyed)
        out.push_back(*k.cluster);
    return out;
}

} // namespace

SimImage MergeModel::Full(const SimHeader& header, const std::vector<SimCluster>& clusters)
{
    std::vector<Keyed> keyed;
    for (const SimCluster& c : clusters) {
        if (IsMain(c))
            keyed.push_back({c.blockID, 0, &c});
        else if (IsScratch(c))
            keyed.push_back({c.blockID, 1, &c});
    }
    return SimImage{header, SortedByKey(std::move(keyed))};
}

SimImage MergeModel::Incremental(const SimImage& stored, const SimHeader& header,
                                 const std::vector<SimCluster>& clusters)
{
    std::set<std::uint32_t> replaced;
    std::vector<Keyed> keyed;
    for (const SimCluster& c : clusters) {
        if (IsScratch(c))
            keyed.push_back({c.blockID, 1, &c});
        else if (IsMain(c))
            keyed.push_back({c.blockID, 2, &c});
        else
            continue;
        replaced.insert(c.blockID);
    }
    for (const SimCluster& c : stored.records) {
        if (!replaced.count(c.blockID))
            keyed.push_back({c.blockID, 0, &c});
    }
    return SimImage{header, SortedByKey(std::move(keyed))};
}

std::vector<std::uint8_t> MergeModel::Serialize(const SimImage& image)
{
    std::vector<std::uint8_t> out(20);
    const std::uint32_t words[5] = {image.header.serialNumber, image.header.clusterSize,
                                    image.header.headerParam1, image.header.headerParam2,
                                    image.header.headerParam3};
    for (int i = 0; i < 5; ++i)
        PutLE(out.data() + 4 * i, words[i]);
    for (const SimCluster& c : image.records) {
        std::uint8_t h[12];
        PutBE(h, c.blockID);
        PutBE(h + 4, c.mode);
        PutBE(h + 8, static_cast<std::uint32_t>(c.data.size()));
        out.insert(out.end(), h, h + 12);
        out.insert(out.end(), c.data.begin(), c.data.end());
    }
    return out;
}

bool MergeModel::Parse(const std::vector<std::uint8_t>& bytes, SimImage& image)
{
    if (bytes.size() < 20)
        return false;
    const std::uint8_t* p = bytes.data();
    image.header = SimHeader{GetLE(p), GetLE(p + 4), GetLE(p + 8), GetLE(p + 12), GetLE(p + 16)};
    image.records.clear();
    std::size_t pos = 20;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 12)
            return false;
        SimCluster c;
        c.blockID = GetBE(p + pos);
        c.mode = GetBE(p + pos + 4);
        const std::uint32_t length = GetBE(p + pos + 8);
        pos += 12;
        if (bytes.size() - pos < length)
            return false;
        c.data.assign(p + pos, p + pos + length);
        pos += length;
        image.records.push_back(std::move(c));
    }
    return true;
}

bool MergeModel::Save(const std::string& path, const SimImage& image)
{
    const std::vector<std::uint8_t> bytes = Serialize(image);
    hl::Platform& os = hl::Os();
    const int fd = os.OpenFile(path, hl::OpenMode::Truncate);
    if (fd < 0)
        return false;
    const bool ok = os.Write(fd, bytes.data(), bytes.size());
    return os.Close(fd) && ok;
}

bool MergeModel::Load(const std::string& path, SimImage& image)
{
    hl::Platform& os = hl::Os();
    const int fd = os.OpenFile(path, hl::OpenMode::Read);
    if (fd < 0)
        return false;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    bool ok = true;
    for (;;) {
        const std::int64_t n = os.Read(fd, chunk, sizeof chunk);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    os.Close(fd);
    return ok && Parse(bytes, image);
}

} // namespace quarnexsim
