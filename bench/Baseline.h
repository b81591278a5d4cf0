// The plain programs the service is measured against: the least work any store-then-merge
// design must do with the same bytes on the same machine, in the same run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchPlan.h"

namespace bench {

class Baseline {
public:
    // Receives a backup stream from the bench sender over loopback into `streamFile`, then
    // copies that file once to `copyFile` with an fsync. Seconds, or a negative number on
    // failure.
    static double ReceiveAndCopy(const BackupIdentity& id, BenchPlan& plan, const DataPool& pool,
                                 const std::string& streamFile, const std::string& copyFile,
                                 double* receiveSeconds = nullptr);

    // Receives an incremental stream into `streamFile`, then copies the files of the old
    // image (in order) into `copyFile` with an fsync.
    static double ReceiveAndCopyImage(const BackupIdentity& id, BenchPlan& plan, const DataPool& pool,
                                      const std::string& streamFile, const std::vector<std::string>& image,
                                      const std::string& copyFile, double* receiveSeconds = nullptr);

    // A plain sender streams the files of `image` over loopback to a plain receiver that
    // counts the bytes. Seconds, or negative; `bytes` gets what arrived.
    static double SendFiles(const std::vector<std::string>& image, std::uint64_t& bytes);

    // How long the fsync of the last CopyFiles took.
    static double LastSyncSeconds();

    // Sequential copy of several files into one, with one fsync at the end.
    static bool CopyFiles(const std::vector<std::string>& from, const std::string& to);

    // Receives everything one connection on `listenSocket` sends into `file` (or, with an
    // empty name, only counts it). Bytes received, -1 on failure.
    static std::int64_t ReceiveAll(int listenSocket, const std::string& file);
};

} // namespace bench
