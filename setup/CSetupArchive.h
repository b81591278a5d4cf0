// The payload appended to the setup stub's own file: finds the footer by a
// backward scan, reads and checks the file table, unpacks entries.
#pragma once

#include "CPayloadFormat.h"

#include <cstdint>
#include <string>
#include <vector>

class CSetupArchive {
public:
    enum class EResult {
        Ok,
        ReadError,          // no marker, or a read/seek failure on the file
        Corrupted,          // footer or table damaged, or entries that leave the file or the folder
        UnsupportedVersion, // footer version other than 100
        Unsupported,        // features this stub does not carry (prerequisite wizard, external payload)
    };

    struct Entry {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        std::uint32_t offset = 0; // as recorded; the data lies at offset + displacement
        std::string name;
    };

    static constexpr std::size_t kScanBlock = 2048;
    static constexpr std::size_t kCopyChunk = 65536;

    CSetupArchive() = default;
    ~CSetupArchive();
    CSetupArchive(const CSetupArchive&) = delete;
    CSetupArchive& operator=(const CSetupArchive&) = delete;

    // Opens `path`, locates the footer and reads and checks the whole table. The
    // file stays open until the archive is destroyed.
    EResult Open(const std::string& path);

    const CPayloadFormat::Footer& GetFooter() const { return m_footer; }
    const std::vector<Entry>& GetEntries() const { return m_entries; }
    std::int64_t GetDisplacement() const { return m_displacement; }
    std::int64_t GetFooterPosition() const { return m_footerPos; }

    // Whether entries of this type are written out (installer and payload files).
    static bool IsUnpacked(std::uint32_t type);

    // Writes entry `index` to `path` in chunks of at most kCopyChunk bytes. A
    // partly written file is removed again.
    bool Extract(std::size_t index, const std::string& path) const;

private:
    EResult LocateFooter();
    EResult ReadTable();

    int m_fd = -1;
    std::int64_t m_fileSize = 0;
    std::int64_t m_footerPos = -1;
    std::int64_t m_displacement = 0;
    CPayloadFormat::Footer m_footer;
    std::vector<Entry> m_entries;
};
