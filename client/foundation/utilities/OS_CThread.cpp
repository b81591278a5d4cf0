#include "OS_CThread.h"

#include <exception>
#include <system_error>
#include <thread>

#include "CClientExc.h"
#include "CLog.h"
#include "OS_CExc.h"
#include "Platform.h"

namespace {
const char kSource[] = "client/foundation/utilities/OSObj";
}

OS_CThread::OS_CThread(std::uint32_t word1, std::uint32_t word2, const char* name)
    : runMarker_(1), name_(name ? name : "OS_CThread"), word1_(word1), word2_(word2)
{}

OS_CThread::~OS_CThread() = default;

void OS_CThread::Start(std::uintptr_t argument)
{
    argument_ = argument;
    // Mark the body running before the thread exists, so WaitForExit right
    // after Start cannot mistake a body that has not begun for a finished one.
    runMarker_.Wait(hl::kInfinite);
    try {
        std::thread(&OS_CThread::runFnWrapper, this).detach();
    } catch (const std::system_error&) {
        runMarker_.Release(1);
        throw OS_CExc("OS_CThread::OS_CThread: Failure to create thread!", kSource, 370,
                      DB_EXC_INTERNAL_ERROR);
    }
}

bool OS_CThread::WaitForExit(std::uint32_t timeoutMs)
{
    if (!runMarker_.Wait(timeoutMs))
        return false;
    runMarker_.Release(1);
    return true;
}

void OS_CThread::runFnWrapper(OS_CThread* self)
{
    self->threadId_ = hl::Os().ThreadId();
    if (!self->name_.empty())
        hl::Os().SetThreadName(self->name_);
    try {
        self->Run(self->argument_);
    } catch (...) {
        // Nothing above a thread body can catch; record it and end the thread.
        OS_CExc exc("OS_CThread::runFnWrapper: Caught unknown exception fromthread.", kSource, 423,
                    DB_EXC_INTERNAL_ERROR);
        try {
            CLog::Error(0, "%s\n", exc.Format().c_str());
        } catch (...) {}
    }
    // Last touch of the object: the owner may destroy it once this is released.
    self->runMarker_.Release(1);
}

void OS_Sleep(std::uint32_t ms)
{
    hl::Os().Sleep(ms);
}
