#pragma once
// One logical data file of a stored backup, kept on disk as a numbered series of sub-files
// (stem_000.ext, stem_001.ext, ...) described by a control file (stem_cfg.ext) that records
// NumSubFiles and MaxBytesPerSubFile. The logical name itself never exists on disk.
//
// Reads and writes are buffered: a stream of small records costs one system call per buffer,
// not per record. Buffered writes reach the operating system on Flush, Seek, Read, GetSize,
// Sync and destruction; call Flush (or Sync, for durability) and check it before relying on
// the data, because a write error may only show there.

#include <cstdint>
#include <string>
#include <vector>

class CBFMFile {
public:
    static constexpr std::int32_t kDefaultMaxBytesPerSubFile = 2147483647;
    static constexpr std::int32_t kMaxSubFiles = 999;

    // create = true: delete any old series and start an empty one; false: open read-only.
    // Throws CClientExc "Unable to create CBFMFile" / "Unable to open CBFMFile".
    CBFMFile(const std::string& path, bool create);
    // As above, creating with a chosen sub-file size (tests and tools; opening always takes
    // the size recorded in the control file).
    CBFMFile(const std::string& path, bool create, std::int32_t maxBytesPerSubFile);

    // The sub-file size of a series created without one (kDefaultMaxBytesPerSubFile). Tests
    // lower it, process-wide, to see images of several sub-files made from little data.
    static void SetDefaultMaxBytesPerSubFile(std::int32_t bytes);
    static std::int32_t DefaultMaxBytesPerSubFile();
    ~CBFMFile();

    CBFMFile(const CBFMFile&) = delete;
    CBFMFile& operator=(const CBFMFile&) = delete;

    // True only if all count bytes were read; countRead tells how many were.
    bool Read(void* buffer, std::uint32_t count, std::uint32_t& countRead);
    // True only if all count bytes were written; grows the series by new sub-files as needed.
    bool Write(const void* buffer, std::uint32_t count, std::uint32_t& countWritten);
    // origin 0 = from start, 1 = from the current position, 2 = from the end; the result is
    // clamped to 0 ... size and returned.
    std::int64_t Seek(std::int64_t offset, int origin);
    std::int64_t GetSize();

    // Hands buffered data to the operating system; false if any write so far failed.
    bool Flush();
    // Flush, then make every sub-file and the control file durable (fsync).
    bool Sync();
    // For a file that will be synced: hands written data to the disk every few megabytes as
    // the writing goes on, so that the disk works while the writer does and Sync has little
    // left to wait for. Durability still comes only from Sync.
    void SetWriteBehind(bool on) { m_writeBehind = on; }

    std::int32_t GetNumSubFiles() const { return m_numSubFiles; }
    std::int32_t GetMaxBytesPerSubFile() const { return m_maxBytesPerSubFile; }
    bool IsReadOnly() const { return m_readOnly; }

    // Class operations on closed files, by logical name.
    static bool Delete(const std::string& path);
    static bool Rename(const std::string& oldPath, const std::string& newPath);
    // Copies every sub-file and the control file. With reportProgress the percentage of each
    // sub-file goes to the GUI channel, which may also cancel. errorCode (optional) receives
    // the platform error of the last failed step (112 = disk full), 0 when all went well.
    static bool Copy(const std::string& srcPath, const std::string& dstPath, bool reportProgress,
                     int* errorCode = nullptr);

    // Whether anything exists at path. False when the platform cannot tell (an error other
    // than "not found"): callers that delete or rename on absence must not guess.
    static bool Probe(const std::string& path, bool& exists);

    // On-disk names of a logical path.
    static std::string SubFilePath(const std::string& path, int index);
    static std::string ControlFilePath(const std::string& path);

private:
    struct Names {
        std::string stem;
        std::string extension;
    };
    static Names Split(const std::string& path);
    static std::string SubFileName(const Names& names, int index);
    static std::string ControlName(const Names& names);

    bool Create();
    bool Open();
    bool CreateSubFile();
    bool OpenSubFiles();
    bool WriteControlFile();
    static bool DeleteSubFiles(const Names& names);
    static bool RenameSubFiles(const Names& oldNames, const Names& newNames);
    static bool CopySubFiles(const Names& src, const Names& dst, bool reportProgress, int& errorCode);

    bool FlushWriteBuffer();
    bool WriteThrough(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written);
    void DropReadBuffer();
    std::int64_t LogicalPosition() const;
    std::int64_t SizeOfLast();
    void CloseAll();

    std::vector<int> m_handles;
    Names m_names;
    std::string m_controlPath;
    std::int32_t m_numSubFiles = 0;
    std::int32_t m_maxBytesPerSubFile = kDefaultMaxBytesPerSubFile;
    std::int32_t m_currentIndex = 0;
    std::uint32_t m_currentOffset = 0;
    bool m_readOnly = false;
    bool m_writeFailed = false;
    bool m_writeBehind = false;
    std::int32_t m_writebackIndex = 0; // sub-file and offset up to which write-back was started
    std::uint32_t m_writebackOffset = 0;

    // Write buffer: bytes that belong at the current end of the logical position, not yet written.
    std::vector<std::uint8_t> m_writeBuffer;
    std::size_t m_writeBuffered = 0;
    // Size of the last sub-file as the OS sees it, kept to avoid a size query per call (-1 = unknown).
    std::int64_t m_lastSize = -1;
    // Read buffer: a window of the logical stream starting at m_readStart.
    std::vector<std::uint8_t> m_readBuffer;
    std::int64_t m_readStart = 0;
    std::size_t m_readFill = 0;
    std::size_t m_readAhead = 0;
    std::int64_t m_nextSequential = 0; // logical position after the last read from disk
};
