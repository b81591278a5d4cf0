#include "ClientUtil.h"

#include "Platform.h"

#include <vector>

namespace ClientUtil {

bool IsDirWritable(const std::string& directory)
{
    hl::Platform& os = hl::Os();
    const std::string probe = os.TempFileName(directory, "VKT");
    if (probe.empty())
        return false;
    const int fd = os.OpenFile(probe, hl::OpenMode::ReadWrite);
    if (fd < 0) {
        os.DeleteFile(probe);
        return false;
    }
    const bool closed = os.Close(fd);
    const bool deleted = os.DeleteFile(probe);
    return closed && deleted;
}

namespace {

// False when an entry could not be removed: the enumeration stops there. A symbolic link is
// an entry like a file: the link goes, whatever it points to stays (it may lie anywhere).
bool EmptyInto(hl::Platform& os, const std::string& directory)
{
    std::vector<std::string> names;
    if (!os.ListDirectory(directory, names))
        return true;
    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        bool isLink = false;
        if (!os.QuerySymbolicLink(path, isLink))
            return false;
        if (!isLink && os.DirectoryExists(path)) {
            if (!EmptyInto(os, path))
                return false;
            if (!os.RemoveDirectory(path))
                return false;
        } else if (!os.DeleteFile(path)) {
            return false;
        }
    }
    return true;
}

} // namespace

void EmptyDirectory(const std::string& directory)
{
    hl::Platform& os = hl::Os();
    // A directory that is itself a link is not ours to empty.
    bool isLink = false;
    if (!os.QuerySymbolicLink(directory, isLink) || isLink)
        return;
    EmptyInto(os, directory);
}

} // namespace ClientUtil
