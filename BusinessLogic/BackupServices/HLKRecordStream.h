// HLKRecordStream: the cluster records of a data file, read in large blocks and handed out in
// place (12-byte header and data side by side). A merge hashes a record and writes runs of
// records straight from the block, instead of copying each record into a buffer of its own
// first: the stored image is most of what an incremental moves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CBFMFile;

class HLKRecordStream {
public:
    // Reads `file` from its current position. A record longer than a header plus
    // `clusterSize` data bytes is damage.
    HLKRecordStream(CBFMFile& file, std::uint32_t clusterSize);

    enum class Result {
        Record,  // `record` and `size` describe the next record
        Ended,   // the records end here, cleanly
        Damaged, // a cut or oversized record, or a read failure
    };
    // The next record. Its bytes stay valid, and stay right after the bytes of the record
    // before it whenever that one came from the same block, until Next is called again while
    // NextIsBuffered() is false.
    Result Next(const std::uint8_t*& record, std::uint32_t& size);
    // Whether the next Next() is served from the block already read, leaving every record
    // handed out so far where it is.
    bool NextIsBuffered() const;

private:
    bool Refill();
    std::uint32_t BufferedRecordSize() const; // 0 unless a whole record is buffered

    CBFMFile& m_file;
    std::uint32_t m_clusterSize;
    std::vector<std::uint8_t> m_block;
    std::size_t m_pos = 0;  // next unread byte in m_block
    std::size_t m_fill = 0; // bytes of m_block read from the file
    bool m_atEnd = false;   // the file has nothing after m_fill
    bool m_failed = false;
};
