// Helpers for the setup tests: a sandbox folder per test, running the real stub
// as a separate process with a controlled environment, and files as bytes.
#pragma once

#include "TestSandbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace setuptest {

using Bytes = std::vector<unsigned char>;

struct RunResult {
    int code = -1; // exit code, 128 + signal when killed
    std::string out;
    std::string err;
};

// Runs argv[0] with exactly `env` as its environment (the sanitizer options of
// the test run are passed on), stdin from /dev/null, stdout/stderr captured.
RunResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
void WriteText(const std::filesystem::path& path, const std::string& text, bool executable = false);
std::string ReadText(const std::filesystem::path& path);
// Names of everything below `dir`, relative, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& dir);
Bytes RandomBytes(std::size_t count, unsigned seed);

void PutU32(Bytes& out, std::uint32_t value);
std::uint32_t GetU32(const Bytes& in, std::size_t at);

// The shared per-test sandbox, plus the setup tools and a private TMPDIR.
class SetupSandbox : public SandboxTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path Root() const { return Sandbox(); }
    std::filesystem::path At(const std::string& rel) const { return Root() / rel; }

    // The built stub and packer.
    static std::string StubPath();
    static std::string PackerPath();
    static std::string InstallerScriptPath();

    // Environment for the stub: a private TMPDIR inside the sandbox, no display.
    std::map<std::string, std::string> BaseEnv() const;
    std::filesystem::path TempDir() const { return Root() / "tmp"; }

    // An installer script that records its arguments, its folder's listing and a
    // copy of each payload file under `record`, then exits with `exitCode`.
    std::filesystem::path MakeRecordingInstaller(int exitCode);
    std::filesystem::path RecordDir() const { return Root() / "record"; }

    // Packs stub + files with hlpack; returns the output path.
    std::filesystem::path Pack(const std::filesystem::path& installer,
                               const std::vector<std::filesystem::path>& files,
                               const std::string& outName = "HarborlockSetup");
};

} // namespace setuptest
