#include "HLKMerge.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "HLKInternal.h"
#include "HLKRecordIO.h"
#include "SessionData.h"

using BackupDataLayout::DecodeClusterHeader;
using BackupDataLayout::kClusterHeaderSize;

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKMerge";

// State of the incremental merge's TmpMain cursor, kept apart from the block IDs so that
// every blockID value (0 and 0xFFFFFFFF included) merges like any other.
struct MainCursor {
    std::uint8_t header[kClusterHeaderSize] = {};
    bool loaded = false;
    bool exhausted = false;
};

// The sorted scratch index read as one sequence: the narrow and the wide part merged by
// blockID, the narrow entry first on equal blockIDs (it arrived earlier).
class ScratchCursor {
public:
    explicit ScratchCursor(const SessionData& session)
        : m_narrow(session.scratchIndex), m_wide(session.wideScratchIndex)
    {}
    bool more() const { return m_n < m_narrow.size() || m_w < m_wide.size(); }
    // Only while more().
    std::uint32_t blockID() const { return fromNarrow() ? m_narrow[m_n].blockID : m_wide[m_w].blockID; }
    std::uint64_t offset() const { return fromNarrow() ? m_narrow[m_n].offset : m_wide[m_w].offset(); }
    void advance()
    {
        if (fromNarrow())
            ++m_n;
        else
            ++m_w;
    }

private:
    bool fromNarrow() const
    {
        if (m_w >= m_wide.size())
            return true;
        return m_n < m_narrow.size() && m_narrow[m_n].blockID <= m_wide[m_w].blockID;
    }

    const std::vector<ScratchIndexEntry>& m_narrow;
    const std::vector<WideScratchIndexEntry>& m_wide;
    std::size_t m_n = 0;
    std::size_t m_w = 0;
};

struct MergeOutput {
    CBFMFile* file;
    std::int64_t total; // progress divisor
    bool wroteNew = false;
    std::uint32_t lastNewID = 0;
};

void countMergedRecord(SessionData& session, std::int64_t total)
{
    session.mergeCount += 1;
    if (session.mergeCount % 250 == 0)
        HLK_NOTIFY(NotifyProgress(HLKInternal::Percent(session.mergeCount, total)));
}

int copyMainRecord(SessionData& session, CBFMFile& mergeFile, const std::uint8_t* header)
{
    const std::uint32_t length = DecodeClusterHeader(header).length;
    if (length > session.clusterSize) {
        HLK_INTERNAL();
        return -1;
    }
    // Header and data side by side, so the record goes out in one write.
    std::uint8_t* record = session.clusterBuffer.data();
    std::memcpy(record, header, kClusterHeaderSize);
    std::uint32_t got = 0;
    if (length > 0 && !session.tmpMain->Read(record + kClusterHeaderSize, length, got)) {
        HLK_INTERNAL();
        return -1;
    }
    if (HLKRecordIO::writeClusterBlk(mergeFile, nullptr, record,
                                     std::uint32_t(kClusterHeaderSize) + length) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    session.mergeChecksum.AddRecord(record, kClusterHeaderSize + length);
    return 0;
}

int copyScratchEntry(SessionData& session, CBFMFile& mergeFile, const ScratchCursor& entry)
{
    CBFMFile& scratch = *session.tmpScratch;
    const std::uint64_t offset = entry.offset();
    if (offset > std::uint64_t(INT64_MAX) || scratch.Seek(std::int64_t(offset), 0) != std::int64_t(offset)) {
        HLK_INTERNAL();
        return -1;
    }
    // One read of a whole cluster's room: the record's own length is only known from its
    // header, and a shorter record (or the last one) simply reads less.
    std::uint8_t* record = session.clusterBuffer.data();
    std::uint32_t got = 0;
    scratch.Read(record, std::uint32_t(kClusterHeaderSize) + session.clusterSize, got);
    if (got < kClusterHeaderSize) {
        HLK_INTERNAL();
        return -1;
    }
    const BackupDataLayout::ClusterHeader header = DecodeClusterHeader(record);
    const std::uint32_t length = header.length;
    if (header.blockID != entry.blockID() || length > session.clusterSize ||
        got < kClusterHeaderSize + length) {
        HLK_INTERNAL();
        return -1;
    }
    if (HLKRecordIO::writeClusterBlk(mergeFile, nullptr, record,
                                     std::uint32_t(kClusterHeaderSize) + length) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    session.mergeChecksum.AddRecord(record, kClusterHeaderSize + length);
    return 0;
}

// Writes the TmpMain and scratch records that belong before (and, for blockID oldID, instead of)
// the stored record oldID; at oldEnded, everything left, advancing the scratch cursor. 0, or
// -1. `superseded`: the stored record oldID is replaced by new data and is not to be copied.
int mergeIncrStep(SessionData& session, MergeOutput& out, MainCursor& main, std::uint32_t oldID,
                  bool oldEnded, ScratchCursor& scratch, bool& superseded)
{
    superseded = false;
    for (;;) {
        if (!main.loaded && !main.exhausted) {
            bool ended = false;
            if (HLKRecordIO::readRecordHeader(*session.tmpMain, main.header, ended)) {
                main.loaded = true;
            } else if (ended) {
                main.exhausted = true;
            } else {
                HLK_INTERNAL();
                return -1;
            }
        }
        const bool haveMain = main.loaded;
        const bool haveScratch = scratch.more();
        if (!haveMain && !haveScratch)
            break;
        const std::uint32_t m = haveMain ? DecodeClusterHeader(main.header).blockID : 0;
        const std::uint32_t s = haveScratch ? scratch.blockID() : 0;

        if (!oldEnded && ((haveMain && m == oldID) || (haveScratch && s == oldID)))
            superseded = true;

        if (haveMain && (oldEnded || m <= oldID) && (!haveScratch || m < s)) {
            if (copyMainRecord(session, *out.file, main.header) != 0)
                return -1;
            main.loaded = false;
            out.wroteNew = true;
            out.lastNewID = m;
        } else {
            if (!haveScratch || (!oldEnded && oldID < s))
                break;
            if (copyScratchEntry(session, *out.file, scratch) != 0)
                return -1;
            scratch.advance();
            out.wroteNew = true;
            out.lastNewID = s;
        }
        countMergedRecord(session, out.total);
    }
    // Every stored record of a blockID that a new record carries is replaced, not only the
    // first of them: a stale duplicate after the new data would win on restore.
    if (!oldEnded && out.wroteNew && out.lastNewID == oldID)
        superseded = true;
    return 0;
}

} // namespace

int HLKMerge::compareBlockIDs(const ScratchIndexEntry& a, const ScratchIndexEntry& b)
{
    if (a.blockID < b.blockID)
        return -1;
    return a.blockID == b.blockID ? 0 : 1;
}

void HLKMerge::sortScratchIndex(SessionData& session)
{
    std::stable_sort(
        session.scratchIndex.begin(), session.scratchIndex.end(),
        [](const ScratchIndexEntry& a, const ScratchIndexEntry& b) { return compareBlockIDs(a, b) < 0; });
    std::stable_sort(
        session.wideScratchIndex.begin(), session.wideScratchIndex.end(),
        [](const WideScratchIndexEntry& a, const WideScratchIndexEntry& b) { return a.blockID < b.blockID; });
}

int HLKMerge::mergeFullBackup(SessionData& session, CBFMFile& mergeFile)
{
    const std::int64_t total = session.mainCount + session.scratchCount;
    ScratchCursor scratch(session);
    for (;;) {
        std::uint8_t header[kClusterHeaderSize];
        bool ended = false;
        if (!HLKRecordIO::readRecordHeader(*session.tmpMain, header, ended)) {
            if (!ended) {
                HLK_INTERNAL();
                return -1;
            }
            break;
        }
        const std::uint32_t m = DecodeClusterHeader(header).blockID;
        while (scratch.more() && m > scratch.blockID()) {
            if (copyScratchEntry(session, mergeFile, scratch) != 0)
                return -1;
            scratch.advance();
            countMergedRecord(session, total);
        }
        if (copyMainRecord(session, mergeFile, header) != 0)
            return -1;
        countMergedRecord(session, total);
    }
    // Scratch clusters beyond the last main cluster belong at the end, not in the bin.
    for (; scratch.more(); scratch.advance()) {
        if (copyScratchEntry(session, mergeFile, scratch) != 0)
            return -1;
        countMergedRecord(session, total);
    }
    if (!mergeFile.Sync()) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

int HLKMerge::mergeIncrBackup(SessionData& session, CBFMFile& mergeFile)
{
    CBFMChecksum sum;
    CBFMChecksum::Status status = CBFMChecksum::Status::Missing;
    std::unique_ptr<CBFMFile> old = session.backup->OpenImageAndChecksum(sum, status);
    if (!old) {
        HLK_ERROR("HLKServer mergeIncrBackup(): OpenBFMFile() Backup failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    return mergeIncrBackup(session, *old, mergeFile, status == CBFMChecksum::Status::Whole ? &sum : nullptr);
}

int HLKMerge::mergeIncrBackup(SessionData& session, CBFMFile& oldImage, CBFMFile& mergeFile,
                              CBFMChecksum* oldChecksum)
{
    BackupDataLayout::BackupHeader stored;
    if (!HLKRecordIO::readBackupHeader(oldImage, stored)) {
        HLK_INTERNAL();
        return -1;
    }
    // An incremental only ever builds on the image of the same server and geometry.
    if (stored != session.backupHeader()) {
        HLK_ERROR("HLKServer mergeIncrBackup(): Validation failed\n");
        return -1;
    }
    if (oldChecksum && !oldChecksum->HeaderMatches(stored)) {
        HLK_ERROR("HLKServer mergeIncrBackup(): the stored image's header does not match its checksum\n");
        return -1;
    }
    std::uint64_t oldRead = 0;
    const std::uint64_t oldRecords =
        BackupDataLayout::EstimateRecordCount(oldImage.GetSize(), session.clusterSize);
    // Progress only: the whole count, not its low 32 bits (an image past 2^32 records would
    // otherwise count as nearly empty).
    session.oldEstimate = static_cast<std::int64_t>(std::min<std::uint64_t>(oldRecords, INT64_MAX / 4));

    MergeOutput out{&mergeFile, session.oldEstimate + session.mainCount + session.scratchCount};
    MainCursor main;
    ScratchCursor scratch(session);
    for (;;) {
        std::uint8_t header[kClusterHeaderSize];
        bool ended = false;
        bool superseded = false;
        if (!HLKRecordIO::readRecordHeader(oldImage, header, ended)) {
            if (!ended) {
                HLK_INTERNAL();
                return -1;
            }
            if (oldChecksum && oldRead != oldChecksum->RecordCount()) {
                HLK_ERROR(
                    "HLKServer mergeIncrBackup(): the stored image ends after %llu of its %llu records\n",
                    static_cast<unsigned long long>(oldRead),
                    static_cast<unsigned long long>(oldChecksum->RecordCount()));
                return -1;
            }
            if (mergeIncrStep(session, out, main, 0xFFFFFFFF, true, scratch, superseded) != 0) {
                HLK_INTERNAL();
                return -1;
            }
            break;
        }
        const BackupDataLayout::ClusterHeader oldHeader = DecodeClusterHeader(header);
        const std::uint32_t oldID = oldHeader.blockID;
        const std::uint32_t length = oldHeader.length;
        if (mergeIncrStep(session, out, main, oldID, false, scratch, superseded) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        if (length > session.clusterSize) {
            HLK_INTERNAL();
            return -1;
        }
        std::uint8_t* record = session.clusterBuffer.data();
        std::memcpy(record, header, kClusterHeaderSize);
        std::uint32_t got = 0;
        if (length > 0 && !oldImage.Read(record + kClusterHeaderSize, length, got)) {
            HLK_INTERNAL();
            return -1;
        }
        if (oldChecksum && !oldChecksum->NextRecordMatches(record, kClusterHeaderSize + length)) {
            HLK_ERROR(
                "HLKServer mergeIncrBackup(): record %llu of the stored image does not match its checksum\n",
                static_cast<unsigned long long>(oldRead));
            return -1;
        }
        ++oldRead;
        if (!superseded && HLKRecordIO::writeClusterBlk(mergeFile, nullptr, record,
                                                        std::uint32_t(kClusterHeaderSize) + length) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        if (!superseded)
            session.mergeChecksum.AddRecord(record, kClusterHeaderSize + length);
        countMergedRecord(session, out.total);
    }
    if (!mergeFile.Sync()) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}
