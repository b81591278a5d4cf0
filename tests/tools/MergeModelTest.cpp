#include <gtest/gtest.h>

#include "ClusterPlan.h"
#include "MergeModel.h"
#include "TestSandbox.h"

using namespace quarnexsim;

namespace {

SimCluster C(std::uint32_t id, std::uint32_t mode, std::vector<std::uint8_t> data = {})
{
    return SimCluster{id, mode, std::move(data)};
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> IdModes(const SimImage& image)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const SimCluster& c : image.records)
        out.emplace_back(c.blockID, c.mode);
    return out;
}

TEST(MergeModel, FullPlacesScratchAmongMainWithMainFirstOnTies)
{
    const SimImage image = MergeModel::Full(
        SimHeader{1, 16, 0, 0, 0}, {C(1, kModeMain), C(3, kModeScratch), C(2, kModeMain), C(2, kModeScratch),
                                    C(4, kModeMain), C(6, kModeScratch), C(5, 4 /* neither bit */)});
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {1, kModeMain},    {2, kModeMain}, {2, kModeScratch},
        {3, kModeScratch}, {4, kModeMain}, {6, kModeScratch}};
    EXPECT_EQ(IdModes(image), expected);
}

TEST(MergeModel, IncrementalDropsReplacedBlocksWithScratchFirstOnTies)
{
    const SimHeader h{1, 16, 0, 0, 0};
    const SimImage stored{
        h, {C(1, kModeMain, {1}), C(2, kModeMain, {2}), C(2, kModeScratch, {3}), C(3, kModeMain, {4})}};
    const SimImage image = MergeModel::Incremental(
        stored, h, {C(5, kModeScratch, {9}), C(2, kModeMain, {8}), C(2, kModeScratch, {7})});
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {1, kModeMain}, {2, kModeScratch}, {2, kModeMain}, {3, kModeMain}, {5, kModeScratch}};
    EXPECT_EQ(IdModes(image), expected);
    // Both stored records of block 2 are gone; the new ones carry their own data.
    EXPECT_EQ(image.records[1].data, std::vector<std::uint8_t>{7});
    EXPECT_EQ(image.records[2].data, std::vector<std::uint8_t>{8});
}

TEST(MergeModel, TheStoredFormMixesByteOrdersAsStored)
{
    SimImage image{SimHeader{0x0001A2B3, 65536, 1, 2, 3},
                   {C(0x01020304, kModeScratch, {0xAA, 0xBB}), C(7, kModeMain)}};
    const std::vector<std::uint8_t> bytes = MergeModel::Serialize(image);
    ASSERT_EQ(bytes.size(), 20u + 14u + 12u); // a record of length 0 is 12 bytes
    const std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + 8);
    EXPECT_EQ(head, (std::vector<std::uint8_t>{0xB3, 0xA2, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00}));
    const std::vector<std::uint8_t> record(bytes.begin() + 20, bytes.begin() + 34);
    EXPECT_EQ(record, (std::vector<std::uint8_t>{1, 2, 3, 4, 0, 0, 0, 1, 0, 0, 0, 2, 0xAA, 0xBB}));

    SimImage parsed;
    ASSERT_TRUE(MergeModel::Parse(bytes, parsed));
    EXPECT_EQ(parsed, image);
    EXPECT_EQ(MergeModel::Serialize(SimImage{image.header, {}}).size(), 20u);

    // Anything but whole records is refused.
    for (std::size_t cut : {1u, 11u, 13u, 27u}) {
        std::vector<std::uint8_t> shorter(bytes.begin(), bytes.end() - cut);
        EXPECT_FALSE(MergeModel::Parse(shorter, parsed)) << cut;
    }
}

class ModelFileTest : public SandboxTest {};

TEST_F(ModelFileTest, SavesAndLoadsTheStoredForm)
{
    const SimImage image{SimHeader{9, 8, 7, 6, 5}, {C(1, kModeMain, {1, 2, 3})}};
    const std::string path = SandboxPath("model.img");
    ASSERT_TRUE(MergeModel::Save(path, image));
    const std::string raw = ReadFile(path);
    EXPECT_EQ(std::vector<std::uint8_t>(raw.begin(), raw.end()), MergeModel::Serialize(image));
    SimImage loaded;
    ASSERT_TRUE(MergeModel::Load(path, loaded));
    EXPECT_EQ(loaded, image);
    EXPECT_FALSE(MergeModel::Load(SandboxPath("missing.img"), loaded));
}

TEST(ClusterPlan, GeneratesTheRequestedMixDeterministically)
{
    PlanOptions o;
    o.count = 500;
    o.clusterSize = 300;
    o.firstBlock = 10;
    o.blockStep = 3;
    o.scratchPercent = 25;
    o.varyLengths = true;
    o.seed = 42;
    const std::vector<SimCluster> a = ClusterPlan::Generate(o);
    EXPECT_EQ(a, ClusterPlan::Generate(o));
    ASSERT_EQ(a.size(), 500u);
    std::uint32_t lastMain = 0;
    int scratch = 0;
    std::vector<std::uint32_t> ids;
    for (const SimCluster& c : a) {
        EXPECT_LE(c.data.size(), 300u);
        ids.push_back(c.blockID);
        if (c.mode == kModeScratch) {
            ++scratch;
        } else {
            EXPECT_EQ(c.mode, kModeMain);
            EXPECT_GT(c.blockID, lastMain); // main clusters ascend
            lastMain = c.blockID;
        }
    }
    EXPECT_GT(scratch, 75);
    EXPECT_LT(scratch, 175);
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], 10 + 3 * i);
    o.seed = 43;
    EXPECT_NE(a, ClusterPlan::Generate(o));
}

TEST_F(ModelFileTest, CutsAFileIntoClusters)
{
    std::string content(1000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    WriteFile(SandboxPath("data.bin"), content);
    PlanOptions o;
    o.clusterSize = 256;
    o.firstBlock = 5;
    std::vector<SimCluster> clusters;
    ASSERT_TRUE(ClusterPlan::FromFile(SandboxPath("data.bin"), o, clusters));
    ASSERT_EQ(clusters.size(), 4u);
    EXPECT_EQ(clusters[3].data.size(), 1000u - 768u);
    std::string joined;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        EXPECT_EQ(clusters[i].blockID, 5 + i);
        joined.append(clusters[i].data.begin(), clusters[i].data.end());
    }
    EXPECT_EQ(joined, content);
    EXPECT_FALSE(ClusterPlan::FromFile(SandboxPath("none.bin"), o, clusters));
}

} // namespace
