#include "CBFMVerify.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CInetHeaderParser.h"
#include "Platform.h"

using namespace BackupDataLayout;

namespace {

constexpr std::uint64_t kProgressStep = 4 * 1024 * 1024;

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Places a logical offset of the image in its series: which sub-file, where in it.
void Locate(CBFMVerify::Result& result, const std::string& image, const CBFMFile& file, std::uint64_t logical)
{
    const std::uint64_t per = std::uint64_t(file.GetMaxBytesPerSubFile());
    std::uint64_t index = per ? logical / per : 0;
    const std::uint64_t last = std::uint64_t(std::max(file.GetNumSubFiles(), 1) - 1);
    index = std::min(index, last);
    result.file = BaseName(CBFMFile::SubFilePath(image, int(index)));
    result.offset = logical - index * per;
}

void Damage(CBFMVerify::Result& result, const std::string& image, const CBFMFile& file, std::uint64_t logical,
            const std::string& what)
{
    result.verdict = CBFMVerify::Verdict::Damaged;
    Locate(result, image, file, logical);
    result.what = what;
}

// The image did not open as a series: say which part of it is wrong.
CBFMVerify::Result DiagnoseSeries(const std::string& image)
{
    CBFMVerify::Result result;
    result.verdict = CBFMVerify::Verdict::Damaged;
    const std::string control = CBFMFile::ControlFilePath(image);
    result.file = BaseName(control);
    bool exists = false;
    if (!CBFMFile::Probe(control, exists)) {
        result.verdict = CBFMVerify::Verdict::Unreadable;
        result.what = "it cannot be read";
        return result;
    }
    if (!exists) {
        result.what = "the control file is missing";
        return result;
    }
    CInetHeaderParser parser(control, true);
    std::int32_t count = 0;
    std::int32_t per = 0;
    parser.GetParmInt("NumSubFiles", "NumSubFiles", count);
    parser.GetParmInt("MaxBytesPerSubFile", "MaxBytesPerSubFile", per);
    if (!parser.IsLoaded() || count <= 0 || count > CBFMFile::kMaxSubFiles || per <= 0) {
        result.what = "the control file does not load";
        return result;
    }
    hl::Platform& os = hl::Os();
    for (int i = 0; i < count; ++i) {
        const std::string sub = CBFMFile::SubFilePath(image, i);
        result.file = BaseName(sub);
        if (!CBFMFile::Probe(sub, exists)) {
            result.verdict = CBFMVerify::Verdict::Unreadable;
            result.what = "it cannot be read";
            return result;
        }
        if (!exists) {
            result.what = "the sub-file is missing";
            return result;
        }
        const std::int64_t size = os.FileSize(sub);
        if (size < 0) {
            result.verdict = CBFMVerify::Verdict::Unreadable;
            result.what = "it cannot be read";
            return result;
        }
        if (i < count - 1 && size < per) {
            result.offset = std::uint64_t(size);
            result.what = "the sub-file ends " + std::to_string(per - size) + " bytes early";
            return result;
        }
        if (size > per) {
            result.offset = std::uint64_t(per);
            result.what = "the sub-file is longer than its series allows";
            return result;
        }
    }
    result.verdict = CBFMVerify::Verdict::Unreadable;
    result.file = BaseName(image);
    result.what = "the image does not open";
    return result;
}

} // namespace

CBFMVerify::Result CBFMVerify::Verify(CBFMBackup& backup, const Progress& progress)
{
    Result result;
    const std::string image = backup.GetFilePath(CBFMBackup::BackupFile);
    CBFMChecksum sum;
    CBFMChecksum::Status sumStatus = CBFMChecksum::Status::Missing;
    std::unique_ptr<CBFMFile> file = backup.OpenImageAndChecksum(sum, sumStatus);
    if (!file)
        return DiagnoseSeries(image);
    if (sumStatus == CBFMChecksum::Status::Unreadable) {
        result.verdict = Verdict::Unreadable;
        result.file = BaseName(CBFMChecksum::PathFor(image));
        result.what = "it cannot be read";
        return result;
    }
    const bool checked = sumStatus == CBFMChecksum::Status::Whole;

    const std::int64_t signedSize = file->GetSize();
    if (signedSize < 0) {
        result.what = "the image size cannot be read";
        return result;
    }
    const std::uint64_t size = std::uint64_t(signedSize);
    if (size < kBackupHeaderSize) {
        Damage(result, image, *file, size, "the image is shorter than a backup header");
        return result;
    }
    std::uint8_t headerBytes[kBackupHeaderSize];
    std::uint32_t got = 0;
    if (!file->Read(headerBytes, sizeof headerBytes, got)) {
        result.what = "the backup header cannot be read";
        return result;
    }
    const BackupHeader header = DecodeBackupHeader(headerBytes);
    if (checked && CBFMChecksum::Hash(headerBytes, sizeof headerBytes) != sum.HeaderHash()) {
        Damage(result, image, *file, 0, "the backup header does not match its checksum");
        return result;
    }
    if (header.clusterSize == 0 || !IsUsableClusterSize(header.clusterSize)) {
        Damage(result, image, *file, 0, "the backup header is not usable");
        return result;
    }

    std::vector<std::uint8_t> record(kClusterHeaderSize + std::size_t(header.clusterSize));
    std::uint64_t pos = kBackupHeaderSize;
    std::uint64_t nextReport = kProgressStep;
    std::uint64_t firstBad = 0;
    // Structural damage after a record that did not match: the first damage is what is named.
    auto fail = [&](std::uint64_t at, const std::string& what) {
        if (result.damagedRecords > 0)
            Damage(result, image, *file, firstBad, "the record does not match its checksum");
        else
            Damage(result, image, *file, at, what);
        return result;
    };
    while (pos < size) {
        if (progress && pos >= nextReport) {
            nextReport = pos + kProgressStep;
            if (!progress(pos, size)) {
                result.verdict = Verdict::Cancelled;
                return result;
            }
        }
        if (size - pos < kClusterHeaderSize) {
            return fail(pos, "the last record is cut short");
        }
        if (!file->Read(record.data(), kClusterHeaderSize, got)) {
            result.what = "a record cannot be read";
            Locate(result, image, *file, pos);
            return result;
        }
        const std::uint32_t length = DecodeClusterHeader(record.data()).length;
        if (length > header.clusterSize) {
            return fail(pos, "the record header is not valid");
        }
        if (size - pos < RecordSize(length)) {
            return fail(pos, "the last record is cut short");
        }
        if (length > 0 && !file->Read(record.data() + kClusterHeaderSize, length, got)) {
            result.what = "a record cannot be read";
            Locate(result, image, *file, pos);
            return result;
        }
        if (checked) {
            std::uint64_t expected = 0;
            if (!sum.NextRecordHash(expected)) {
                return fail(pos, "the image holds more records than were written");
            }
            if (CBFMChecksum::Hash(record.data(), kClusterHeaderSize + length) != expected) {
                if (result.damagedRecords++ == 0)
                    firstBad = pos;
            }
        }
        ++result.records;
        pos += RecordSize(length);
    }
    if (result.damagedRecords > 0) {
        Damage(result, image, *file, firstBad, "the record does not match its checksum");
        return result;
    }
    if (checked && (result.records != sum.RecordCount() || size != sum.ImageSize())) {
        Damage(result, image, *file, size,
               "the image ends early, after " + std::to_string(result.records) + " of its " +
                   std::to_string(sum.RecordCount()) + " records");
        return result;
    }
    if (progress && !progress(size, size)) {
        result.verdict = Verdict::Cancelled;
        return result;
    }
    switch (sumStatus) {
    case CBFMChecksum::Status::Whole: result.verdict = Verdict::Whole; break;
    case CBFMChecksum::Status::Damaged:
        result.verdict = Verdict::ChecksumDamaged;
        result.file = BaseName(CBFMChecksum::PathFor(image));
        result.what = "the checksum file is damaged";
        break;
    default: result.verdict = Verdict::NoChecksum; break;
    }
    return result;
}

std::string CBFMVerify::Describe(const Result& result)
{
    const std::string records =
        std::to_string(result.records) + (result.records == 1 ? " record" : " records");
    switch (result.verdict) {
    case Verdict::Whole: return "whole (" + records + ")";
    case Verdict::Damaged: {
        std::string text =
            "damaged in " + result.file + " at offset " + std::to_string(result.offset) + ": " + result.what;
        if (result.damagedRecords > 1)
            text += " (" + std::to_string(result.damagedRecords) + " records damaged)";
        return text;
    }
    case Verdict::NoChecksum: return "no checksum, not yet checked (" + records + ", structure whole)";
    case Verdict::ChecksumDamaged:
        return "checksum file " + result.file + " is damaged; not checked (" + records + ", structure whole)";
    case Verdict::Cancelled: return "cancelled";
    case Verdict::Unreadable:
    default:
        return "could not be read" +
               (result.file.empty() ? std::string() : " (" + result.file + ": " + result.what + ")");
    }
}
