// The fixture of the backup record tests: a server directory in the sandbox, sample images,
// and records committed with a fixed clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "FaultPlatform.h"
#include "TestSandbox.h"

class CBFMBackupTest : public SandboxTest {
protected:
    static constexpr std::uint32_t kT1 = 1765000000; // December 2025
    static constexpr std::uint32_t kT2 = 4102444800; // January 2100: past 2038 on purpose

    // A backup image: header and three records with the given payload seed.
    static std::string Image(char seed, std::size_t records = 3)
    {
        using namespace BackupDataLayout;
        std::string out(kBackupHeaderSize, '\0');
        EncodeBackupHeader(BackupHeader{0x0001A2B3, 64, 1, 2, 3},
                           reinterpret_cast<std::uint8_t*>(out.data()));
        for (std::size_t i = 0; i < records; ++i) {
            std::uint8_t header[kClusterHeaderSize];
            EncodeClusterHeader(ClusterHeader{std::uint32_t(i), kModeMain, 8}, header);
            out.append(reinterpret_cast<char*>(header), sizeof header);
            out.append(8, char(seed + i));
        }
        return out;
    }

    void SetUp() override
    {
        SandboxTest::SetUp();
        std::filesystem::create_directories(SandboxPath("srv/17"));
    }

    std::string Dir(const std::string& id = "17") { return SandboxPath("srv/" + id); }

    // Writes a data file of the record directly, with a small sub-file size.
    static void WriteData(const std::string& logical, const std::string& data,
                          std::int32_t maxBytes = 2147483647)
    {
        CBFMFile file(logical, true, maxBytes);
        std::uint32_t written = 0;
        ASSERT_TRUE(file.Write(data.data(), std::uint32_t(data.size()), written));
        ASSERT_TRUE(file.Flush());
    }

    static std::string ReadImage(CBFMBackup& backup)
    {
        std::unique_ptr<CBFMFile> file = backup.OpenBFMFile(CBFMBackup::BackupFile);
        if (!file)
            return "<none>";
        std::string data(std::size_t(file->GetSize()), '\0');
        std::uint32_t got = 0;
        if (!file->Read(data.data(), std::uint32_t(data.size()), got))
            return "<short>";
        return data;
    }

    // A record holding `image` committed (full) at kT1.
    void Committed(const std::string& dir, const std::string& image, std::int32_t maxBytes)
    {
        hl::FaultPlatform clock;
        clock.SetWallClockMs(std::int64_t(kT1) * 1000);
        hl::ScopedPlatform use(clock);
        CBFMBackup backup(dir, std::filesystem::path(dir).filename().string());
        WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), image, maxBytes);
        ASSERT_TRUE(backup.CommitMerge(true));
        ASSERT_TRUE(backup.Cleanup());
        // The server's part of the commit, as CBFMServer::FinishCommits ends it.
        ASSERT_TRUE(CBFMBackup::RemoveCurrentNote(dir));
    }

    static std::vector<std::string> Files(const std::string& dir)
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};
