#include "CSetupArchive.h"

#include "OS_CSetupPlatform.h"

#include <algorithm>
#include <set>

CSetupArchive::~CSetupArchive()
{
    OS_CSetupPlatform::Close(m_fd);
}

bool CSetupArchive::IsUnpacked(std::uint32_t type)
{
    return type == CPayloadFormat::kTypeInstaller || type == CPayloadFormat::kTypePayload ||
           type == CPayloadFormat::kTypePayloadOther;
}

CSetupArchive::EResult CSetupArchive::Open(const std::string& path)
{
    OS_CSetupPlatform::Close(m_fd);
    m_entries.clear();
    m_fd = OS_CSetupPlatform::OpenRead(path);
    if (m_fd < 0)
        return EResult::ReadError;
    m_fileSize = OS_CSetupPlatform::FileSize(m_fd);
    if (m_fileSize < 0)
        return EResult::ReadError;
    const EResult located = LocateFooter();
    if (located != EResult::Ok)
        return located;
    return ReadTable();
}

CSetupArchive::EResult CSetupArchive::LocateFooter()
{
    // Blocks of kScanBlock bytes walking back from the end; each block reaches a
    // marker's length minus one into the block after it, so a marker that
    // straddles two blocks is still seen. Within a block the match nearest the end
    // wins: the footer is written last, so any earlier copy of the marker bytes
    // belongs to payload data, not to the footer.
    const std::size_t overlap = CPayloadFormat::kMarkerSize - 1;
    std::vector<unsigned char> block(kScanBlock + overlap);
    std::int64_t end = m_fileSize;
    std::int64_t markerPos = -1;
    while (end > 0 && markerPos < 0) {
        const std::int64_t start = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(kScanBlock));
        const std::int64_t stop =
            std::min<std::int64_t>(m_fileSize, end + static_cast<std::int64_t>(overlap));
        const auto length = static_cast<std::size_t>(stop - start);
        if (!OS_CSetupPlatform::ReadAt(m_fd, start, block.data(), length))
            return EResult::ReadError;
        for (std::size_t i = length >= CPayloadFormat::kMarkerSize ? length - CPayloadFormat::kMarkerSize + 1
                                                                   : 0;
             i-- > 0;) {
            const std::int64_t pos = start + static_cast<std::int64_t>(i);
            // A footer would have to start after offset 0.
            if (pos <= static_cast<std::int64_t>(CPayloadFormat::kMarkerOffset))
                break;
            if (CPayloadFormat::IsMarkerAt(&block[i])) {
                markerPos = pos;
                break;
            }
        }
        end = start;
    }
    if (markerPos < 0)
        return EResult::ReadError;

    m_footerPos = markerPos - static_cast<std::int64_t>(CPayloadFormat::kMarkerOffset);
    unsigned char raw[CPayloadFormat::kFooterSize];
    if (!OS_CSetupPlatform::ReadAt(m_fd, m_footerPos, raw, sizeof raw))
        return EResult::ReadError;
    if (!CPayloadFormat::HasTrailer(raw))
        return EResult::Corrupted;
    m_footer = CPayloadFormat::DecodeFooter(raw);
    if (m_footer.version != CPayloadFormat::kVersion)
        return EResult::UnsupportedVersion;
    if (m_footer.flags & (CPayloadFormat::kFlagNotEmbedded | CPayloadFormat::kFlagPrerequisites))
        return EResult::Unsupported;
    m_displacement = m_footerPos - static_cast<std::int64_t>(m_footer.footerOffset);
    return EResult::Ok;
}

CSetupArchive::EResult CSetupArchive::ReadTable()
{
    // Everything the table describes must lie before the footer: the recorded
    // offsets come from the file itself and are not trusted.
    std::int64_t cursor = static_cast<std::int64_t>(m_footer.tableOffset) + m_displacement;
    if (cursor < 0 || cursor > m_footerPos)
        return EResult::Corrupted;
    const std::int64_t tableRoom = m_footerPos - cursor;
    if (static_cast<std::int64_t>(m_footer.entryCount) *
            static_cast<std::int64_t>(CPayloadFormat::kEntryHeadSize) >
        tableRoom)
        return EResult::Corrupted;

    std::set<std::string> names;
    m_entries.reserve(m_footer.entryCount);
    for (std::uint32_t i = 0; i < m_footer.entryCount; ++i) {
        unsigned char raw[CPayloadFormat::kEntryHeadSize];
        if (cursor + static_cast<std::int64_t>(sizeof raw) > m_footerPos)
            return EResult::Corrupted;
        if (!OS_CSetupPlatform::ReadAt(m_fd, cursor, raw, sizeof raw))
            return EResult::ReadError;
        cursor += static_cast<std::int64_t>(sizeof raw);
        const auto head = CPayloadFormat::DecodeEntryHead(raw);
        if (head.nameLength > CPayloadFormat::kMaxNameLength ||
            cursor + static_cast<std::int64_t>(head.nameLength) > m_footerPos)
            return EResult::Corrupted;
        Entry entry;
        entry.type = head.type;
        entry.size = head.size;
        entry.offset = head.offset;
        entry.name.resize(head.nameLength);
        if (head.nameLength > 0 &&
            !OS_CSetupPlatform::ReadAt(m_fd, cursor, entry.name.data(), head.nameLength))
            return EResult::ReadError;
        cursor += head.nameLength;

        const std::int64_t dataStart = static_cast<std::int64_t>(entry.offset) + m_displacement;
        if (dataStart < 0 || dataStart + static_cast<std::int64_t>(entry.size) > m_footerPos)
            return EResult::Corrupted;
        if (IsUnpacked(entry.type)) {
            // Names are joined to the destination folder: anything but a plain file
            // name could place a file outside it, and a repeated name would let one
            // entry overwrite another (the installer among them).
            if (!CPayloadFormat::IsSafeName(entry.name) || !names.insert(entry.name).second)
                return EResult::Corrupted;
        }
        m_entries.push_back(std::move(entry));
    }
    return EResult::Ok;
}

bool CSetupArchive::Extract(std::size_t index, const std::string& path) const
{
    if (m_fd < 0 || index >= m_entries.size())
        return false;
    const Entry& entry = m_entries[index];
    const int out = OS_CSetupPlatform::CreateReplace(path);
    if (out < 0)
        return false;
    std::vector<unsigned char> chunk(
        std::min<std::size_t>(kCopyChunk, std::max<std::uint32_t>(entry.size, 1)));
    std::int64_t from = static_cast<std::int64_t>(entry.offset) + m_displacement;
    std::uint32_t left = entry.size;
    bool ok = true;
    while (ok && left > 0) {
        const std::size_t n = std::min<std::size_t>(left, chunk.size());
        ok = OS_CSetupPlatform::ReadAt(m_fd, from, chunk.data(), n) &&
             OS_CSetupPlatform::WriteAll(out, chunk.data(), n);
        from += static_cast<std::int64_t>(n);
        left -= static_cast<std::uint32_t>(n);
    }
    ok = OS_CSetupPlatform::FlushClose(out) && ok;
    if (!ok)
        OS_CSetupPlatform::RemoveFile(path);
    return ok;
}
