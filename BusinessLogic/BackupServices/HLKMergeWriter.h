// HLKMergeWriter: writes a merge's output on a thread of its own. The merge thread reads,
// checks and orders the records while this thread hands the bytes before them to the merge
// file, so that the two halves of a merge's work (reading the old records, writing the new
// image) overlap instead of adding up.
//
// Bytes are copied into a small ring of buffers and written in order, each buffer in one
// write. The merge file is touched only by this thread from construction to Finish.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class CBFMFile;

class HLKMergeWriter {
public:
    explicit HLKMergeWriter(CBFMFile& file);
    // Waits for what was handed over and ends the thread (Finish's result is then lost).
    ~HLKMergeWriter();
    HLKMergeWriter(const HLKMergeWriter&) = delete;
    HLKMergeWriter& operator=(const HLKMergeWriter&) = delete;

    // Copies the bytes for writing, after everything appended before. False once a write has
    // failed: the merge can stop there.
    bool Append(const std::uint8_t* data, std::size_t size);
    // Writes the rest and waits until everything is written. True only if every write
    // succeeded; the file is the caller's again afterwards.
    bool Finish();

private:
    void HandOver();
    void Run();

    CBFMFile& m_file;
    std::vector<std::vector<std::uint8_t>> m_buffers;
    std::vector<std::size_t> m_fill;
    std::size_t m_produce = 0; // buffer being filled by the merge thread
    std::size_t m_consume = 0; // next buffer for the writer thread
    std::size_t m_queued = 0;  // buffers handed over and not yet written
    bool m_stopping = false;
    std::atomic<bool> m_failed{false};
    bool m_finished = false;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::thread m_thread;
};
