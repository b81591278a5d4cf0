#include "SetupTestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace setuptest {

RunResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
{
    char outTemplate[] = "/tmp/hlsetup-out.XXXXXX";
    char errTemplate[] = "/tmp/hlsetup-err.XXXXXX";
    const int outFd = mkstemp(outTemplate);
    const int errFd = mkstemp(errTemplate);
    RunResult result;
    if (outFd < 0 || errFd < 0) {
        ADD_FAILURE() << "cannot create capture files";
        return result;
    }

    std::map<std::string, std::string> full = env;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(name); v && !full.count(name))
            full[name] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : full)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& s : argCopy)
        args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    if (rc == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {}
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        ADD_FAILURE() << "cannot start " << argv[0];
    }
    result.out = ReadText(outTemplate);
    result.err = ReadText(errTemplate);
    fs::remove(outTemplate);
    fs::remove(errTemplate);
    return result;
}

Bytes ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

void WriteText(const fs::path& path, const std::string& text, bool executable)
{
    WriteBytes(path, Bytes(text.begin(), text.end()));
    if (executable)
        fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add);
}

std::string ReadText(const fs::path& path)
{
    const Bytes b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

std::vector<std::string> ListTree(const fs::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return names;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); ++it)
        names.push_back(fs::relative(it->path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes RandomBytes(std::size_t count, unsigned seed)
{
    std::mt19937 gen(seed);
    Bytes out(count);
    for (auto& b : out)
        b = static_cast<unsigned char>(gen());
    return out;
}

void PutU32(Bytes& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::uint32_t GetU32(const Bytes& in, std::size_t at)
{
    return static_cast<std::uint32_t>(in.at(at)) | static_cast<std::uint32_t>(in.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(in.at(at + 2)) << 16 | static_cast<std::uint32_t>(in.at(at + 3)) << 24;
}

void SetupSandbox::SetUp()
{
    SandboxTest::SetUp();
    fs::create_directories(TempDir());
    fs::create_directories(RecordDir());
}

void SetupSandbox::TearDown()
{
    SandboxTest::TearDown();
}

std::string SetupSandbox::StubPath()
{
    return HL_SETUP_STUB;
}
std::string SetupSandbox::PackerPath()
{
    return HL_SETUP_PACKER;
}
std::string SetupSandbox::InstallerScriptPath()
{
    return HL_SETUP_INSTALLER;
}

std::map<std::string, std::string> SetupSandbox::BaseEnv() const
{
    return {{"PATH", "/usr/local/bin:/usr/bin:/bin"},
            {"HOME", (Root() / "home").string()},
            {"TMPDIR", TempDir().string()},
            {"RECORD", RecordDir().string()}};
}

fs::path SetupSandbox::MakeRecordingInstaller(int exitCode)
{
    const fs::path script = Root() / "install.sh";
    std::ostringstream s;
    s << "#!/bin/sh\n"
         "here=$(dirname \"$0\")\n"
         "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$RECORD/args\"\n"
         "printf '%s\\n' \"$here\" > \"$RECORD/folder\"\n"
         "ls \"$here\" > \"$RECORD/listing\"\n"
         "for f in \"$here\"/*; do cp \"$f\" \"$RECORD/copy-$(basename \"$f\")\"; done\n"
         "exit "
      << exitCode << "\n";
    WriteText(script, s.str(), true);
    return script;
}

fs::path SetupSandbox::Pack(const fs::path& installer, const std::vector<fs::path>& files,
                            const std::string& outName)
{
    const fs::path out = Root() / outName;
    std::vector<std::string> argv{PackerPath(), "--stub",      StubPath(),        "--output",
                                  out.string(), "--installer", installer.string()};
    for (const auto& f : files) {
        argv.push_back("--file");
        argv.push_back(f.string());
    }
    const RunResult r = RunProcess(argv, {{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(r.code, 0) << r.err;
    return out;
}

} // namespace setuptest
