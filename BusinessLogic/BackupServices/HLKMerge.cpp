#include "HLKMerge.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "HLKInternal.h"
#include "HLKMergeWriter.h"
#include "HLKRecordIO.h"
#include "HLKRecordStream.h"
#include "SessionData.h"

using BackupDataLayout::DecodeClusterHeader;
using BackupDataLayout::kClusterHeaderSize;

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKMerge";

// The incremental merge's next TmpMain record, kept apart from the block IDs so that every
// blockID value (0 and 0xFFFFFFFF included) merges like any other.
struct MainCursor {
    const std::uint8_t* record = nullptr;
    std::uint32_t size = 0;
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

// The merge file and the records bound for it. Records handed out in place by a record stream
// are gathered while they lie side by side in its block and go to the writer thread in one
// piece; the merge file is the writer's until finish().
class MergeOutput {
public:
    MergeOutput(CBFMFile& file, std::int64_t total) : m_writer(file), m_total(total) {}
    std::int64_t total() const { return m_total; }

    // A record from `from`, whose Hash is `hash`; it stays where it is until handed over.
    int add(const std::uint8_t* record, std::uint32_t size, std::uint64_t hash, const HLKRecordStream& from,
            SessionData& session)
    {
        if (m_from != &from || m_pending + m_pendingSize != record) {
            if (flush() != 0)
                return -1;
            m_from = &from;
            m_pending = record;
        }
        m_pendingSize += size;
        session.mergeChecksum.AddRecordHash(hash, size);
        return 0;
    }
    // A record in a buffer that will be reused: handed over now.
    int write(const std::uint8_t* record, std::uint32_t size, SessionData& session)
    {
        if (flush() != 0 || !m_writer.Append(record, size))
            return -1;
        session.mergeChecksum.AddRecord(record, size);
        return 0;
    }
    // The next record of `from`; what is gathered from it is handed over first when reading
    // on would move it.
    HLKRecordStream::Result next(HLKRecordStream& from, const std::uint8_t*& record, std::uint32_t& size)
    {
        if (m_from == &from && !from.NextIsBuffered() && flush() != 0)
            return HLKRecordStream::Result::Damaged;
        return from.Next(record, size);
    }
    // Everything handed over and written: 0, or -1 when a write failed.
    int finish() { return flush() == 0 && m_writer.Finish() ? 0 : -1; }

    bool wroteNew = false;
    std::uint32_t lastNewID = 0;

private:
    int flush()
    {
        const bool ok = m_pendingSize == 0 || m_writer.Append(m_pending, m_pendingSize);
        m_from = nullptr;
        m_pending = nullptr;
        m_pendingSize = 0;
        return ok ? 0 : -1;
    }

    HLKMergeWriter m_writer;
    std::int64_t m_total; // progress divisor
    const HLKRecordStream* m_from = nullptr;
    const std::uint8_t* m_pending = nullptr;
    std::uint32_t m_pendingSize = 0;
};

void countMergedRecord(SessionData& session, std::int64_t total)
{
    session.mergeCount += 1;
    if (session.mergeCount % 250 == 0)
        HLK_NOTIFY(NotifyProgress(HLKInternal::Percent(session.mergeCount, total)));
}

std::uint32_t blockIDOf(const std::uint8_t* record)
{
    return DecodeClusterHeader(record).blockID;
}

int copyScratchEntry(SessionData& session, MergeOutput& out, const ScratchCursor& entry)
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
    if (out.write(record, std::uint32_t(kClusterHeaderSize) + length, session) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

// Writes the TmpMain and scratch records that belong before (and, for blockID oldID, instead of)
// the stored record oldID; at oldEnded, everything left, advancing the scratch cursor. 0, or
// -1. `superseded`: the stored record oldID is replaced by new data and is not to be copied.
int mergeIncrStep(SessionData& session, MergeOutput& out, HLKRecordStream& tmpMain, MainCursor& main,
                  std::uint32_t oldID, bool oldEnded, ScratchCursor& scratch, bool& superseded)
{
    superseded = false;
    for (;;) {
        if (!main.loaded && !main.exhausted) {
            switch (out.next(tmpMain, main.record, main.size)) {
            case HLKRecordStream::Result::Record: main.loaded = true; break;
            case HLKRecordStream::Result::Ended: main.exhausted = true; break;
            case HLKRecordStream::Result::Damaged: HLK_INTERNAL(); return -1;
            }
        }
        const bool haveMain = main.loaded;
        const bool haveScratch = scratch.more();
        if (!haveMain && !haveScratch)
            break;
        const std::uint32_t m = haveMain ? blockIDOf(main.record) : 0;
        const std::uint32_t s = haveScratch ? scratch.blockID() : 0;

        if (!oldEnded && ((haveMain && m == oldID) || (haveScratch && s == oldID)))
            superseded = true;

        if (haveMain && (oldEnded || m <= oldID) && (!haveScratch || m < s)) {
            if (out.add(main.record, main.size, CBFMChecksum::Hash(main.record, main.size), tmpMain,
                        session) != 0) {
                HLK_INTERNAL();
                return -1;
            }
            main.loaded = false;
            out.wroteNew = true;
            out.lastNewID = m;
        } else {
            if (!haveScratch || (!oldEnded && oldID < s))
                break;
            if (copyScratchEntry(session, out, scratch) != 0)
                return -1;
            scratch.advance();
            out.wroteNew = true;
            out.lastNewID = s;
        }
        countMergedRecord(session, out.total());
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
    MergeOutput out(mergeFile, session.mainCount + session.scratchCount);
    HLKRecordStream tmpMain(*session.tmpMain, session.clusterSize);
    ScratchCursor scratch(session);
    for (;;) {
        const std::uint8_t* record = nullptr;
        std::uint32_t size = 0;
        const HLKRecordStream::Result read = out.next(tmpMain, record, size);
        if (read == HLKRecordStream::Result::Ended)
            break;
        if (read == HLKRecordStream::Result::Damaged) {
            HLK_INTERNAL();
            return -1;
        }
        const std::uint32_t m = blockIDOf(record);
        while (scratch.more() && m > scratch.blockID()) {
            if (copyScratchEntry(session, out, scratch) != 0)
                return -1;
            scratch.advance();
            countMergedRecord(session, out.total());
        }
        if (out.add(record, size, CBFMChecksum::Hash(record, size), tmpMain, session) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        countMergedRecord(session, out.total());
    }
    // Scratch clusters beyond the last main cluster belong at the end, not in the bin.
    for (; scratch.more(); scratch.advance()) {
        if (copyScratchEntry(session, out, scratch) != 0)
            return -1;
        countMergedRecord(session, out.total());
    }
    if (out.finish() != 0 || !mergeFile.Sync()) {
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

    MergeOutput out(mergeFile, session.oldEstimate + session.mainCount + session.scratchCount);
    HLKRecordStream old(oldImage, session.clusterSize);
    HLKRecordStream tmpMain(*session.tmpMain, session.clusterSize);
    MainCursor main;
    ScratchCursor scratch(session);
    for (;;) {
        const std::uint8_t* record = nullptr;
        std::uint32_t size = 0;
        bool superseded = false;
        const HLKRecordStream::Result read = out.next(old, record, size);
        if (read == HLKRecordStream::Result::Damaged) {
            HLK_INTERNAL();
            return -1;
        }
        if (read == HLKRecordStream::Result::Ended) {
            if (oldChecksum && oldRead != oldChecksum->RecordCount()) {
                HLK_ERROR(
                    "HLKServer mergeIncrBackup(): the stored image ends after %llu of its %llu records\n",
                    static_cast<unsigned long long>(oldRead),
                    static_cast<unsigned long long>(oldChecksum->RecordCount()));
                return -1;
            }
            if (mergeIncrStep(session, out, tmpMain, main, 0xFFFFFFFF, true, scratch, superseded) != 0) {
                HLK_INTERNAL();
                return -1;
            }
            break;
        }
        const std::uint32_t oldID = blockIDOf(record);
        if (mergeIncrStep(session, out, tmpMain, main, oldID, false, scratch, superseded) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        // Hashed once: checked against the stored image's checksum and reused for the new one.
        const std::uint64_t hash = CBFMChecksum::Hash(record, size);
        if (oldChecksum && !oldChecksum->NextRecordMatches(hash)) {
            HLK_ERROR(
                "HLKServer mergeIncrBackup(): record %llu of the stored image does not match its checksum\n",
                static_cast<unsigned long long>(oldRead));
            return -1;
        }
        ++oldRead;
        if (!superseded && out.add(record, size, hash, old, session) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        countMergedRecord(session, out.total());
    }
    if (out.finish() != 0 || !mergeFile.Sync()) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}
