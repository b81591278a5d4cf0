#include "HLKMergeWriter.h"

#include <algorithm>
#include <cstring>

#include "CBFMFile.h"
#include "HLKRecordIO.h"

namespace {

// Four buffers of 512 KiB: each goes to the merge file in one write, which the file passes to
// the disk without copying it again, and the merge runs up to 1.5 MiB ahead of the disk.
constexpr std::size_t kBuffers = 4;
constexpr std::size_t kBufferSize = 512 * 1024;

} // namespace

HLKMergeWriter::HLKMergeWriter(CBFMFile& file)
    : m_file(file), m_buffers(kBuffers, std::vector<std::uint8_t>(kBufferSize)), m_fill(kBuffers, 0)
{
    m_thread = std::thread([this] { Run(); });
}

HLKMergeWriter::~HLKMergeWriter()
{
    Finish();
}

void HLKMergeWriter::HandOver()
{
    std::unique_lock<std::mutex> lock(m_lock);
    ++m_queued;
    m_changed.notify_all();
    m_produce = (m_produce + 1) % kBuffers;
    // The next buffer must be written before it is filled again.
    m_changed.wait(lock, [this] { return m_queued < kBuffers; });
    m_fill[m_produce] = 0;
}

bool HLKMergeWriter::Append(const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        if (m_failed)
            return false;
        std::size_t& fill = m_fill[m_produce];
        const std::size_t piece = std::min(size, kBufferSize - fill);
        std::memcpy(m_buffers[m_produce].data() + fill, data, piece);
        fill += piece;
        data += piece;
        size -= piece;
        if (fill == kBufferSize)
            HandOver();
    }
    return true;
}

bool HLKMergeWriter::Finish()
{
    if (m_thread.joinable()) {
        if (m_fill[m_produce] > 0)
            HandOver();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    return !m_failed;
}

void HLKMergeWriter::Run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_queued > 0 || m_stopping; });
        if (m_queued == 0)
            return;
        const std::size_t index = m_consume;
        const bool skip = m_failed;
        lock.unlock();
        // After a failure the rest is dropped: the merge fails and its file is deleted.
        const bool ok = skip || HLKRecordIO::writeClusterBlk(m_file, nullptr, m_buffers[index].data(),
                                                             std::uint32_t(m_fill[index])) == 0;
        lock.lock();
        if (!ok)
            m_failed = true;
        m_consume = (m_consume + 1) % kBuffers;
        --m_queued;
        m_changed.notify_all();
    }
}
