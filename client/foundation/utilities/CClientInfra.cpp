#include "CClientInfra.h"

#include "CLog.h"
#include "ClientUtil.h"
#include "MakeDirPath.h"
#include "OS_CAutoLock.h"
#include "Platform.h"

namespace {

constexpr int kCategoryInfra = 15;

const char* const kSubDirNames[CClientInfra::SUBDIR_COUNT] = {
    "/Blobs/Calendar", "/Blobs/Contacts", "/Blobs/FAT", "/Blobs/Mail", "/Blobs/Temp",
    "/Config",         "/Database",       "/log",       "/Temp",
};

} // namespace

CClientInfra* CClientInfra::s_instance = nullptr;

CClientInfra* CClientInfra::GetInstance(const char* root)
{
    if (!s_instance) {
        const std::string chosen =
            (root && *root) ? std::string(root) : hl::Os().HomeDirectory() + "/Quarnex";
        s_instance = new CClientInfra(chosen);
    }
    return s_instance;
}

void CClientInfra::Release()
{
    delete s_instance;
    s_instance = nullptr;
}

CClientInfra::CClientInfra(const std::string& root) : root_(root)
{
    {
        OS_CAutoLock guard(&lock_);
        computerName_ = hl::Os().ComputerName();
        if (!computerName_.empty())
            CLog::Debug(kCategoryInfra, "Unique ID Generator computer[%s]\n", computerName_.c_str());
        else
            CLog::Error(kCategoryInfra, "Setting up unique ID generator, SetComputerName() FAILED\n");
    }
    for (const char* name : kSubDirNames) {
        std::string path = root_ + name;
        MakeDirPath(path);
        subDirs_.push_back(std::move(path));
    }
    ClientUtil::EmptyDirectory(subDirs_[SUBDIR_TEMP]);
}

std::string CClientInfra::GetSubDir(int index) const
{
    if (index < 0 || index >= SUBDIR_COUNT)
        return std::string();
    return subDirs_[static_cast<size_t>(index)];
}

std::string CClientInfra::GetComputerName()
{
    OS_CAutoLock guard(&lock_);
    return computerName_;
}
