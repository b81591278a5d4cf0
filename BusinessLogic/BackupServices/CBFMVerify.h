#pragma once
// CBFMVerify: checks that a stored image is still what was written: its records hold together
// (a usable header, whole records of at most clusterSize bytes) and, where the image has a
// checksum file, every record and the header match their hash. Reads the image once, from
// start to end; changes nothing.

#include <cstdint>
#include <functional>
#include <string>

class CBFMBackup;

class CBFMVerify {
public:
    enum class Verdict {
        Whole,           // structure and every checksum agree
        Damaged,         // the image is not what was written (see file, offset, what)
        NoChecksum,      // structure whole, no checksum file: not yet checked
        ChecksumDamaged, // structure whole, the checksum file itself is damaged
        Unreadable,      // the files could not be read (an I/O error, not damage)
        Cancelled,
    };
    struct Result {
        Verdict verdict = Verdict::Unreadable;
        std::string file;          // on-disk name where the (first) damage starts
        std::uint64_t offset = 0;  // byte offset in that file
        std::string what;          // what is wrong there
        std::uint64_t records = 0; // records walked
        std::uint64_t damagedRecords = 0;
    };
    // Called every few megabytes with the bytes read so far and the image size; false cancels.
    using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

    static Result Verify(CBFMBackup& backup, const Progress& progress = Progress());
    // The verdict in words for the activity log, e.g. "whole (12 records)" or
    // "damaged in backup_001.dat at offset 4096: the record does not match its checksum".
    static std::string Describe(const Result& result);
    // Whether the result means the image itself cannot be trusted.
    static bool ImageDamaged(const Result& result) { return result.verdict == Verdict::Damaged; }
};
