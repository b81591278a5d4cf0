// hlpack's output read back byte by byte.
#include "SetupTestSupport.h"

namespace fs = std::filesystem;
using namespace setuptest;

namespace {

class PayloadPackerTest : public SetupSandbox {};

TEST_F(PayloadPackerTest, WritesStubPayloadTableAndFooterByteExact)
{
    const Bytes script = {'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'};
    const Bytes archive = RandomBytes(70000, 11);
    WriteBytes(At("HarborlockInstall.sh"), script);
    WriteBytes(At("Harborlock.tar"), archive);
    const fs::path out = Pack(At("HarborlockInstall.sh"), {At("Harborlock.tar")});
    const Bytes stub = ReadBytes(StubPath());
    const Bytes file = ReadBytes(out);
    ASSERT_GT(file.size(), stub.size() + 36);
    EXPECT_TRUE((fs::status(out).permissions() & fs::perms::owner_exec) != fs::perms::none);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), file.begin()));

    const std::size_t footer = file.size() - 36;
    EXPECT_EQ(GetU32(file, footer + 0), 2u);   // entries
    EXPECT_EQ(GetU32(file, footer + 4), 100u); // version
    EXPECT_EQ(GetU32(file, footer + 8), footer);
    const std::uint32_t table = GetU32(file, footer + 12);
    EXPECT_EQ(GetU32(file, footer + 16), stub.size());
    EXPECT_EQ(GetU32(file, footer + 20), 0u); // flags
    EXPECT_EQ(std::string(file.begin() + static_cast<long>(footer) + 24,
                          file.begin() + static_cast<long>(footer) + 34),
              "PAYLOADEND");
    EXPECT_EQ(file[footer + 34], 0xFF);
    EXPECT_EQ(file[footer + 35], 0xFF);

    struct Expected {
        std::uint32_t type;
        std::string name;
        const Bytes* data;
    };
    const Expected expected[] = {{0, "HarborlockInstall.sh", &script}, {1, "Harborlock.tar", &archive}};
    std::size_t at = table;
    std::size_t dataAt = stub.size();
    for (const auto& e : expected) {
        EXPECT_EQ(GetU32(file, at), e.type);
        EXPECT_EQ(GetU32(file, at + 4), e.data->size());
        EXPECT_EQ(GetU32(file, at + 8), dataAt);
        const std::uint32_t nameLength = GetU32(file, at + 12);
        EXPECT_EQ(std::string(file.begin() + static_cast<long>(at) + 16,
                              file.begin() + static_cast<long>(at) + 16 + nameLength),
                  e.name);
        EXPECT_TRUE(std::equal(e.data->begin(), e.data->end(), file.begin() + static_cast<long>(dataAt)));
        at += 16 + nameLength;
        dataAt += e.data->size();
    }
    EXPECT_EQ(dataAt, table);
    EXPECT_EQ(at, footer);
}

TEST_F(PayloadPackerTest, RefusesTwoFilesOfTheSameNameAndLeavesNoOutput)
{
    fs::create_directories(At("a"));
    fs::create_directories(At("b"));
    WriteText(At("install.sh"), "#!/bin/sh\n");
    WriteText(At("a/data.tar"), "one");
    WriteText(At("b/data.tar"), "two");
    const RunResult r = RunProcess({PackerPath(), "--stub", StubPath(), "--output", At("out").string(),
                                    "--installer", At("install.sh").string(), "--file",
                                    At("a/data.tar").string(), "--file", At("b/data.tar").string()},
                                   {{"PATH", "/usr/bin:/bin"}});
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("data.tar"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(At("out")));
    EXPECT_FALSE(fs::exists(At("out.part")));
}

} // namespace
