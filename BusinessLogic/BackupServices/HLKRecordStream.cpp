#include "HLKRecordStream.h"

#include <cstring>

#include "BackupDataLayout.h"
#include "CBFMFile.h"

using BackupDataLayout::DecodeClusterHeader;
using BackupDataLayout::kClusterHeaderSize;

namespace {

// Large enough that runs of unchanged records go out in writes of several hundred KiB, which
// the data file passes to the disk without copying them into its own buffer.
constexpr std::size_t kBlockSize = 1024 * 1024;

} // namespace

HLKRecordStream::HLKRecordStream(CBFMFile& file, std::uint32_t clusterSize)
    : m_file(file), m_clusterSize(clusterSize),
      // Room for a whole block after the tail of a record cut at the end of the last one.
      m_block(kBlockSize + kClusterHeaderSize + clusterSize)
{}

std::uint32_t HLKRecordStream::BufferedRecordSize() const
{
    const std::size_t left = m_fill - m_pos;
    if (left < kClusterHeaderSize)
        return 0;
    const std::uint32_t length = DecodeClusterHeader(m_block.data() + m_pos).length;
    if (length > m_clusterSize || left < kClusterHeaderSize + std::size_t(length))
        return 0;
    return std::uint32_t(kClusterHeaderSize) + length;
}

bool HLKRecordStream::NextIsBuffered() const
{
    return m_failed || BufferedRecordSize() > 0 || (m_atEnd && m_pos == m_fill);
}

bool HLKRecordStream::Refill()
{
    // The unread tail (part of one record) moves to the front; the block fills up after it.
    const std::size_t tail = m_fill - m_pos;
    if (tail > 0 && m_pos > 0)
        std::memmove(m_block.data(), m_block.data() + m_pos, tail);
    m_pos = 0;
    m_fill = tail;
    const std::uint32_t want = std::uint32_t(m_block.size() - tail);
    std::uint32_t got = 0;
    const bool whole = m_file.Read(m_block.data() + tail, want, got);
    m_fill += got;
    if (whole)
        return true;
    // A short read is the end of the file, or a failure to read the rest of it.
    if (m_file.Seek(0, 1) < m_file.GetSize())
        return false;
    m_atEnd = true;
    return true;
}

HLKRecordStream::Result HLKRecordStream::Next(const std::uint8_t*& record, std::uint32_t& size)
{
    if (m_failed)
        return Result::Damaged;
    std::uint32_t whole = BufferedRecordSize();
    if (whole == 0 && !m_atEnd) {
        if (!Refill()) {
            m_failed = true;
            return Result::Damaged;
        }
        whole = BufferedRecordSize();
    }
    if (whole == 0) {
        if (m_pos == m_fill && m_atEnd)
            return Result::Ended;
        // Part of a header, a record cut short, or a length no cluster can have.
        m_failed = true;
        return Result::Damaged;
    }
    record = m_block.data() + m_pos;
    size = whole;
    m_pos += whole;
    return Result::Record;
}
