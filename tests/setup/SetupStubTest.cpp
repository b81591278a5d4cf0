// The setup stub run as a user runs it: a separate process on a real file,
// unpacking into a real temporary folder and starting a real installer script.
#include "SetupTestSupport.h"

#include <optional>

namespace fs = std::filesystem;
using namespace setuptest;

namespace {

const std::string kReadError = "An error occured while reading the file.";
const std::string kCorrupted = "This archive is corupted.";
const std::string kBadVersion = "This archive has an an unsuported version.";
const std::string kExtractError = "An error ocured while extracting.";

// A setup file laid out byte by byte, independent of the product's encoder, so
// that fields can be set to values the packer would never write.
struct HandEntry {
    std::uint32_t type = 1;
    Bytes data;
    std::string name;
    std::optional<std::uint32_t> size, offset, nameLength;
};

struct HandLayout {
    Bytes stub;
    std::vector<HandEntry> entries;
    std::uint32_t version = 100;
    std::uint32_t flags = 0;
    std::uint32_t shift = 0; // taken off every recorded offset: the file "grew" after packing
    std::optional<std::uint32_t> entryCount, tableOffset;
    std::string marker = "PAYLOADEND";
    Bytes tail{0xFF, 0xFF};
    Bytes appended; // bytes after the footer

    Bytes Build() const
    {
        Bytes out = stub;
        std::vector<std::uint32_t> offsets;
        for (const auto& e : entries) {
            offsets.push_back(static_cast<std::uint32_t>(out.size()));
            out.insert(out.end(), e.data.begin(), e.data.end());
        }
        const auto table = static_cast<std::uint32_t>(out.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& e = entries[i];
            PutU32(out, e.type);
            PutU32(out, e.size.value_or(static_cast<std::uint32_t>(e.data.size())));
            PutU32(out, e.offset.value_or(offsets[i] - shift));
            PutU32(out, e.nameLength.value_or(static_cast<std::uint32_t>(e.name.size())));
            out.insert(out.end(), e.name.begin(), e.name.end());
        }
        const auto footer = static_cast<std::uint32_t>(out.size());
        PutU32(out, entryCount.value_or(static_cast<std::uint32_t>(entries.size())));
        PutU32(out, version);
        PutU32(out, footer - shift);
        PutU32(out, tableOffset.value_or(table - shift));
        PutU32(out, static_cast<std::uint32_t>(stub.size()) - shift);
        PutU32(out, flags);
        out.insert(out.end(), marker.begin(), marker.end());
        out.insert(out.end(), tail.begin(), tail.end());
        out.insert(out.end(), appended.begin(), appended.end());
        return out;
    }
};

class SetupStubTest : public SetupSandbox {
protected:
    void SetUp() override
    {
        SetupSandbox::SetUp();
        m_stub = ReadBytes(StubPath());
        ASSERT_GT(m_stub.size(), 1000u);
        m_installer = MakeRecordingInstaller(0);
        m_data = RandomBytes(200000, 7); // several copy chunks
    }

    // A well-formed layout: the recording installer plus one data file.
    HandLayout Layout() const
    {
        HandLayout l;
        l.stub = m_stub;
        const std::string script = ReadText(m_installer);
        l.entries.push_back({0, Bytes(script.begin(), script.end()), "HarborlockInstall.sh", {}, {}, {}});
        l.entries.push_back({1, m_data, "Harborlock.tar", {}, {}, {}});
        return l;
    }

    fs::path Write(const Bytes& bytes, const std::string& name = "HarborlockSetup")
    {
        const fs::path p = At(name);
        WriteBytes(p, bytes);
        fs::permissions(p, fs::perms::owner_all);
        return p;
    }

    RunResult RunSetup(const fs::path& setup, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), setup.string());
        return RunProcess(args, BaseEnv());
    }

    // The installer ran and saw the payload intact.
    void ExpectInstallerSawPayload()
    {
        ASSERT_TRUE(fs::exists(RecordDir() / "listing")) << "the installer did not run";
        EXPECT_EQ(ReadText(RecordDir() / "listing"), "Harborlock.tar\nHarborlockInstall.sh\n");
        EXPECT_EQ(ReadBytes(RecordDir() / "copy-Harborlock.tar"), m_data);
    }

    // Refused: the message shown, a failure exit, nothing started, nothing left.
    void ExpectRefused(const RunResult& r, const std::string& message)
    {
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_TRUE(ListTree(RecordDir()).empty()) << "the installer was started";
        EXPECT_TRUE(ListTree(TempDir()).empty()) << "files left in the temporary folder";
    }

    Bytes m_stub;
    fs::path m_installer;
    Bytes m_data;
};

TEST_F(SetupStubTest, PackedSetupStartsTheInstallerWithTheCommandLineAndEndsWithItsExitCode)
{
    for (int exitCode : {0, 7}) {
        fs::remove_all(RecordDir());
        fs::create_directories(RecordDir());
        const fs::path dataFile = At("Harborlock.tar");
        WriteBytes(dataFile, m_data);
        const fs::path installer = MakeRecordingInstaller(exitCode);
        fs::rename(installer, At("HarborlockInstall.sh"));
        const fs::path setup = Pack(At("HarborlockInstall.sh"), {dataFile});

        const RunResult r = RunSetup(setup, {"--quiet", "two words", "/x"});
        EXPECT_EQ(r.code, exitCode) << r.err;
        EXPECT_EQ(ReadText(RecordDir() / "args"), "--quiet\ntwo words\n/x\n");
        ExpectInstallerSawPayload();
        // Unpacked into a folder of its own under TMPDIR, removed afterwards whatever the exit code.
        EXPECT_EQ(fs::path(ReadText(RecordDir() / "folder")).parent_path(), TempDir());
        EXPECT_TRUE(ListTree(TempDir()).empty()) << "exit code " << exitCode;
    }
}

TEST_F(SetupStubTest, ExtractOptionUnpacksIntoTheNamedFolderAndStartsNothing)
{
    const fs::path setup = Write(Layout().Build());
    const fs::path folder = At("out/my folder");
    // Quoted folder with spaces: in one argument, split by a caller that does
    // not honour quotes, and without quotes.
    const std::vector<std::vector<std::string>> commandLines = {
        {"/extract:\"" + folder.string() + "\""},
        {"/extract:\"" + At("out/my").string(), "folder\""},
        {"/extract:" + folder.string() + "/"},
    };
    for (const auto& args : commandLines) {
        fs::remove_all(At("out"));
        const RunResult r = RunSetup(setup, args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(ListTree(folder), (std::vector<std::string>{"Harborlock.tar", "HarborlockInstall.sh"}));
        EXPECT_EQ(ReadBytes(folder / "Harborlock.tar"), m_data);
        EXPECT_TRUE(ListTree(RecordDir()).empty()) << "the installer was started";
    }
}

TEST_F(SetupStubTest, BytesAfterTheFooterAndAGrownFileAreCorrectedFor)
{
    // Appended data reaching over several scan blocks.
    HandLayout appended = Layout();
    appended.appended = RandomBytes(5000, 3);
    // Marker straddling the boundary of the first 2048-byte block.
    HandLayout straddling = Layout();
    straddling.appended = Bytes(2048 - 12 + 5, 'x');
    // Offsets recorded as if the stub were 777 bytes shorter (displacement 777).
    HandLayout grown = Layout();
    grown.shift = 777;
    // A payload whose last bytes contain the marker text ahead of the real footer.
    HandLayout markerInData = Layout();
    const std::string fake = "PAYLOADEND\xFF\xFF";
    markerInData.entries[1].data.insert(markerInData.entries[1].data.end(), fake.begin(), fake.end());

    for (const auto* layout : {&appended, &straddling, &grown, &markerInData}) {
        fs::remove_all(RecordDir());
        fs::create_directories(RecordDir());
        const RunResult r = RunSetup(Write(layout->Build()));
        EXPECT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(fs::exists(RecordDir() / "copy-Harborlock.tar")) << r.err;
        EXPECT_EQ(ReadBytes(RecordDir() / "copy-Harborlock.tar"), layout->entries[1].data);
        EXPECT_TRUE(ListTree(TempDir()).empty());
    }
}

TEST_F(SetupStubTest, FooterFaultsShowTheirMessageAndStartNothing)
{
    const Bytes good = Layout().Build();
    {
        HandLayout l = Layout();
        l.version = 99;
        ExpectRefused(RunSetup(Write(l.Build())), kBadVersion);
    }
    {
        HandLayout l = Layout();
        l.flags = 2; // prerequisite wizard, which this stub does not carry
        ExpectRefused(RunSetup(Write(l.Build())), kBadVersion);
    }
    {
        HandLayout l = Layout();
        l.tail = {0xFF, 0x00};
        ExpectRefused(RunSetup(Write(l.Build())), kCorrupted);
    }
    // Truncated: cut inside the trailer, inside the marker, inside the payload.
    for (std::size_t cut : {1u, 6u, 100000u}) {
        ExpectRefused(RunSetup(Write(Bytes(good.begin(), good.end() - static_cast<long>(cut)))), kReadError);
    }
    // The stub alone has no payload; its own code must not pass for a footer.
    ExpectRefused(RunSetup(StubPath()), kReadError);
}

TEST_F(SetupStubTest, TableFaultsAreRefusedBeforeAnythingIsUnpacked)
{
    struct Case {
        const char* what;
        std::function<void(HandLayout&)> damage;
    };
    const std::vector<Case> cases = {
        {"table offset past the footer", [](HandLayout& l) { l.tableOffset = 0x7FFFFFF0; }},
        {"absurd entry count", [](HandLayout& l) { l.entryCount = 0x10000000; }},
        {"absurd entry size", [](HandLayout& l) { l.entries[1].size = 0xFFFFFFF0; }},
        {"data offset past the end", [](HandLayout& l) { l.entries[1].offset = 0xFFFFFF00; }},
        {"absurd name length", [](HandLayout& l) { l.entries[0].nameLength = 0x01000000; }},
        {"parent folder", [](HandLayout& l) { l.entries[1].name = "../escaped"; }},
        {"absolute path", [](HandLayout& l) { l.entries[1].name = "/tmp/hlsetup-escaped"; }},
        {"sub folder", [](HandLayout& l) { l.entries[1].name = "sub/escaped"; }},
        {"dot dot", [](HandLayout& l) { l.entries[1].name = ".."; }},
        {"empty name", [](HandLayout& l) { l.entries[1].name = ""; }},
        {"duplicate name", [](HandLayout& l) { l.entries[1].name = "HarborlockInstall.sh"; }},
    };
    const fs::path extractTo = At("dest/inner");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HandLayout l = Layout();
        c.damage(l);
        const fs::path setup = Write(l.Build());
        ExpectRefused(RunSetup(setup), kCorrupted);
        const RunResult r = RunSetup(setup, {"/extract:" + extractTo.string()});
        ExpectRefused(r, kCorrupted);
        EXPECT_FALSE(fs::exists(At("dest"))) << "extraction began";
        EXPECT_FALSE(fs::exists("/tmp/hlsetup-escaped"));
    }
}

TEST_F(SetupStubTest, APayloadThatCannotBeWrittenIsNotInstalledAndIsCleanedUp)
{
    // A file-size limit lets the small installer script be written but not the
    // 200 kB archive after it (the write fails with EFBIG instead of a signal).
    const fs::path setup = Write(Layout().Build());
    auto env = BaseEnv();
    const RunResult r =
        RunProcess({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 100 && exec \"$0\"", setup.string()}, env);
    ExpectRefused(r, kExtractError);
}

TEST_F(SetupStubTest, WithoutATerminalTheMessageIsShownInADialog)
{
    // A stand-in dialog tool in PATH records what it was asked to show.
    const fs::path bin = At("bin");
    fs::create_directories(bin);
    WriteText(bin / "zenity",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> \"$RECORD/../dialog\"\n", true);
    HandLayout l = Layout();
    l.version = 99;
    auto env = BaseEnv();
    env["PATH"] = bin.string() + ":/usr/bin:/bin";
    env["DISPLAY"] = ":77";
    const RunResult r = RunProcess({Write(l.Build()).string()}, env);
    EXPECT_NE(r.code, 0);
    const std::string dialog = ReadText(At("dialog"));
    EXPECT_NE(dialog.find("--error"), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("--text=" + kBadVersion), std::string::npos) << dialog;
}

TEST_F(SetupStubTest, TheStubNeedsNoSharedLibraryBeyondTheCRuntime)
{
    const RunResult r =
        RunProcess({"/usr/bin/readelf", "-d", StubPath()}, {{"PATH", "/usr/bin:/bin"}, {"LC_ALL", "C"}});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int needed = 0;
    while (std::getline(lines, line)) {
        const auto open = line.find("Shared library: [");
        if (open == std::string::npos)
            continue;
        ++needed;
        const std::string lib = line.substr(open + 17, line.find(']', open) - open - 17);
        const bool runtime =
            lib.rfind("libc.so", 0) == 0 || lib.rfind("libm.so", 0) == 0 || lib.rfind("ld-linux", 0) == 0;
        // The sanitizer runtimes are there only in sanitizer builds of the tests.
        const bool sanitizer = lib.rfind("libasan.so", 0) == 0 || lib.rfind("libubsan.so", 0) == 0;
        EXPECT_TRUE(runtime || sanitizer) << lib;
    }
    EXPECT_GT(needed, 0);
}

} // namespace
