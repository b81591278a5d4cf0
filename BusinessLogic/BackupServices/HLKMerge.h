// HLKMerge: turns a transfer's temporary files into a stored image.
//
// Inputs: TmpMain (main clusters in arrival order, read sequentially from where the caller
// placed it: after the image's header), TmpScratch with the
// session's scratch index (narrow and wide parts each sorted ascending by blockID, stable:
// see sortScratchIndex), and for an incremental the
// stored image it builds on. Output: the merge file, after its backup header, every record in
// blockID order. The session supplies the counters, the cluster buffer and the header words;
// the caller writes the header and commits the result.
#pragma once

#include <cstdint>

class CBFMChecksum;
class CBFMFile;
struct ScratchIndexEntry;
struct SessionData;

class HLKMerge {
public:
    // -1, 0 or 1 as a's blockID is smaller (unsigned), equal or larger.
    static int compareBlockIDs(const ScratchIndexEntry& a, const ScratchIndexEntry& b);
    // Sorts the narrow and the wide scratch index each by blockID, keeping arrival order
    // among equal blockIDs. The merges read the two as one sequence: every narrow entry
    // arrived before every wide one, so on equal blockIDs the narrow entry comes first.
    static void sortScratchIndex(SessionData& session);
    // Full backup: TmpMain and TmpScratch into one blockID-ordered stream.
    static int mergeFullBackup(SessionData& session, CBFMFile& mergeFile);
    // Incremental: the attached backup's stored image updated by TmpMain and TmpScratch.
    static int mergeIncrBackup(SessionData& session, CBFMFile& mergeFile);
    // The same over a given stored image (positioned at its start). With `oldChecksum`, every
    // stored record read is checked against it: a damaged image fails the merge instead of
    // passing its damage on, blessed by a new checksum file.
    static int mergeIncrBackup(SessionData& session, CBFMFile& oldImage, CBFMFile& mergeFile,
                               CBFMChecksum* oldChecksum = nullptr);
};
