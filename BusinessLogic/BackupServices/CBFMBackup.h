#pragma once
// One stored backup of one phone-system server: a directory (named by the backup ID) under
// the server's directory, holding "backup.cfg" and the segmented data files of the backup.
// The record holds no open files; CBFMFile objects it hands out belong to the caller.

#include <cstdint>
#include <memory>
#include <string>

#include "CBFMChecksum.h"

class CBFMFile;
class CInetHeaderParser;

class CBFMBackup {
public:
    // Data file types.
    enum EFileType : int {
        BackupFile = 0,    // "backup.dat": the committed image (the service's main file)
        TmpBackupFile = 1, // "tmpbackup.dat": the previous image during a commit
        TmpMergeFile = 2,  // "merge.dat": merge output, becomes the image on commit
        TmpMainFile = 3,   // "main.dat": main clusters of a transfer in progress
        TmpScratchFile = 4 // "scratch.dat": scratch clusters of a transfer in progress
    };

    // Result codes of Export and Import.
    enum EResult : int { ResultSuccess = 0, ResultFailure = 1, ResultDiskFull = 4 };

    // New record in an existing directory; writes backup.cfg. Throws CClientExc.
    CBFMBackup(const std::string& directory, const std::string& backupID);
    // Existing record, loaded from backup.cfg (an interrupted commit is finished first).
    // Throws CClientExc.
    explicit CBFMBackup(const std::string& directory);
    virtual ~CBFMBackup();

    std::string GetName() const { return m_backupID; }
    const std::string& GetDirectory() const { return m_directory; }
    std::uint32_t FullBackupDate() const { return m_fullBackupDate; }
    std::uint32_t LastBackupDate() const { return m_lastBackupDate; }
    std::int32_t NumIncrementals() const { return m_numIncrementals; }

    // New empty data file of the type, or null (cause in the debug log).
    std::unique_ptr<CBFMFile> CreateBFMFile(int fileType);
    // Data file of the type opened read-only, or null.
    std::unique_ptr<CBFMFile> OpenBFMFile(int fileType);
    // The image opened read-only with its checksum file (status says whether there is a whole
    // one), both taken under the commit lock so that they belong to the same commit. Null when
    // the image does not open.
    std::unique_ptr<CBFMFile> OpenImageAndChecksum(CBFMChecksum& checksum, CBFMChecksum::Status& status);
    // Checksum file of a data file type: "backup.sum" beside "backup.dat", "merge.sum" beside
    // "merge.dat".
    std::string GetChecksumPath(int fileType) const;
    // Logical size of the data file of the type, or -1.
    std::int64_t GetBFMFileSize(int fileType);

    // Makes the closed "merge.dat" the new image and stamps the dates. Crash-safe: after a stop
    // at any point the record holds either the previous image or the new one, complete.
    // With replacedImage, the image it replaced comes back open (null if there was none): its
    // disk space is given back only when the caller closes it, so the commit can be reported
    // first. On disk it is already gone; a crash leaves nothing of it behind.
    // decided (optional) turns true once the commit record is durable: from then on the new
    // image is the record's, even when this call fails later on, because every repair finishes
    // the switch. A commit also leaves a note that the backup is to become its server's current
    // one (CBFMServer::FinishCommits carries it out and removes it).
    // source: the closed data file that becomes the image, "merge.dat", or "main.dat" for a
    // full backup stored without a merge (it starts with the image's header).
    bool CommitMerge(bool full, std::unique_ptr<CBFMFile>* replacedImage = nullptr, bool* decided = nullptr,
                     int source = TmpMergeFile);
    // End of every transfer: removes the transfer record and the temporary files; a record with
    // no image at all loses its backup.cfg.
    bool Cleanup();

    // What an acknowledged transfer leaves beside its temporary files, so that a restart can
    // still merge and commit it: the HELLO words, full or incremental, and what was received.
    struct TransferRecord {
        std::uint32_t serialNumber = 0;
        std::uint32_t clusterSize = 0;
        std::uint32_t headerParam1 = 0;
        std::uint32_t headerParam2 = 0;
        std::uint32_t headerParam3 = 0;
        bool full = false;
        // 64-bit: a transfer may carry more than 4 GiB and 2^31 clusters. Kept as decimal
        // text, so records written with 32-bit fields read the same.
        std::int64_t estimate = 0;
        std::int64_t mainCount = 0;
        std::int64_t scratchCount = 0;
        std::uint64_t mainBytes = 0; // of the records in "main.dat" (after the header, see HLKBackupSession)
        std::uint64_t scratchBytes = 0; // size of "scratch.dat"
    };
    // Written whole and durable, or not at all.
    bool SaveTransferRecord(const TransferRecord& record);
    // False when there is none (exists false) or it cannot be read (exists true).
    bool LoadTransferRecord(TransferRecord& record, bool& exists) const;
    bool DeleteTransferRecord();

    // The note a commit leaves for its server (see CommitMerge) in the backup directory.
    // False when it cannot be told; exists false when there is none.
    static bool ReadCurrentNote(const std::string& directory, bool& exists, bool& full, std::uint32_t& date);
    // Removes the note durably once the server record names the backup.
    static bool RemoveCurrentNote(const std::string& directory);
    // Whether a commit in directory still has work left (its switch, or its server's part).
    static bool HasUnfinishedCommit(const std::string& directory, bool& unfinished);

    // Deletes the data files and backup.cfg of the backup in directory (not the directory).
    static bool Delete(const std::string& directory);

    // Copies backup.cfg and the image into destServerDir/<backup ID>. Result code. The copy is
    // of one image with its own backup.cfg even while a commit on another thread replaces it.
    int Export(const std::string& destServerDir);
    // Copies this record's backup.cfg and image into the existing destBackupDir. Result code.
    int Import(const std::string& destBackupDir);

    // True when the image opens as a complete series holding a usable backup header followed
    // by whole cluster records (what an import must hold).
    bool ValidateImage();

    // Path of a data file type in this record ("" for an unknown type).
    std::string GetFilePath(int fileType) const;
    static std::string FileName(int fileType);

    // Replaces a parameter file so that a stop at any moment leaves either the old or the new
    // file whole: written beside it, made durable, then renamed over it.
    static bool SaveParameterFile(const CInetHeaderParser& parser, const std::string& path);

    // Finishes a commit that was interrupted (by a crash or a failing disk) in directory, so
    // the image is whole again. True when nothing was left to do or the repair succeeded.
    static bool RepairInterruptedCommit(const std::string& directory);

private:
    bool SaveConfig();
    std::unique_ptr<CBFMFile> OpenOrCreate(int fileType, bool create);

    std::string m_directory;
    std::string m_backupID;
    std::string m_configPath;
    std::uint32_t m_fullBackupDate = 0;
    std::uint32_t m_lastBackupDate = 0;
    std::int32_t m_numIncrementals = 0;
};
