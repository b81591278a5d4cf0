#pragma once
// CBFMChecksum: the checksum file of one image (layout in BackupDataLayout.h). It is written in
// the same pass that writes the image, fed one call per record, and read back record by record
// by a verify or a restore, so neither ever holds more than a buffer of it.
//
// The file only detects accidental damage (a bad sector, a failing copy, a half-finished move);
// it is no protection against someone who rewrites an image and its checksum file together.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BackupDataLayout.h"

class CBFMFile;
struct XXH3_state_s;

class CBFMChecksum {
public:
    // XXH3-64 (xxHash's XXH3_64bits, seed 0) of a block.
    static std::uint64_t Hash(const void* data, std::size_t size);
    // Checksum file of a logical data file: "dir/backup.dat" -> "dir/backup.sum".
    static std::string PathFor(const std::string& dataFilePath);

    CBFMChecksum() = default;
    // A file still being written is closed and deleted: only Finish leaves one behind.
    ~CBFMChecksum();
    CBFMChecksum(const CBFMChecksum&) = delete;
    CBFMChecksum& operator=(const CBFMChecksum&) = delete;

    // ---- writing ----
    // Starts a new file at path (an old one there is replaced) with the image's header. False
    // when it cannot be created; the calls that follow then do nothing.
    bool Begin(const std::string& path, const BackupDataLayout::BackupHeader& header);
    // One cluster record as written into the image: its 12-byte header and data side by side.
    // Does nothing unless a file is being written.
    void AddRecord(const std::uint8_t* record, std::size_t size);
    // The same for a record of `size` bytes whose Hash is already known (a stored record
    // checked on its way into a new image).
    void AddRecordHash(std::uint64_t hash, std::size_t size);
    // Writes the trailer and makes the file durable. False (and the file removed) when any
    // write failed or nothing was begun.
    bool Finish();
    bool IsWriting() const { return m_fd >= 0; }
    // The checksum file at path for the records already in order in `image`, read from its
    // start (a data file that became an image without a merge). False on any failure.
    static bool WriteForImage(CBFMFile& image, const std::string& path);

    // ---- reading ----
    enum class Status {
        Whole,       // opened; its own hash and size agree
        Missing,     // there is none: the image is not yet checked
        Unsupported, // written by a later version: not checked by this one
        Damaged,     // the checksum file itself does not hold together
        Unreadable,  // it could not be read
    };
    Status Open(const std::string& path);
    std::uint64_t HeaderHash() const { return m_header.headerHash; }
    std::uint64_t RecordCount() const { return m_trailer.recordCount; }
    std::uint64_t ImageSize() const { return m_trailer.imageSize; }
    // The hash of the next record in image order. False past the last one or when it cannot
    // be read.
    bool NextRecordHash(std::uint64_t& hash);
    // The stored header against the header hash.
    bool HeaderMatches(const BackupDataLayout::BackupHeader& header) const;
    // A record (12-byte header and data side by side) against the next record hash.
    bool NextRecordMatches(const std::uint8_t* record, std::size_t size);
    // A record's Hash against the next record hash.
    bool NextRecordMatches(std::uint64_t hash);

private:
    bool WriteOut(const std::uint8_t* data, std::size_t size);
    bool FlushBuffer();
    bool StartFileHash();
    void Close();

    int m_fd = -1;
    std::string m_path;
    bool m_writing = false;
    bool m_failed = false;
    XXH3_state_s* m_fileHash = nullptr; // over the bytes handed to the file so far
    std::uint64_t m_records = 0;
    std::uint64_t m_imageSize = 0;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_fill = 0;
    std::size_t m_pos = 0;      // reading: next unread byte in m_buffer
    std::uint64_t m_next = 0;   // reading: index of the next record hash
    std::uint64_t m_loaded = 0; // reading: file offset just past the buffered bytes
    BackupDataLayout::ChecksumHeader m_header;
    BackupDataLayout::ChecksumTrailer m_trailer;
};
