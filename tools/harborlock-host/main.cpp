// harborlock-host: runs the backup service of Harborlock without a window, for tests that
// must kill, restart or watch the service as a process of its own.
//
//   harborlock-host --root DIR [--port P] [--port-file FILE] [--notes FILE] [--log-dir DIR]
//                   [--kill-at-op N] [--short-timeouts]
//
// --root        the backup folder (created when missing)
// --port        TCP port; 0 (the default) lets the system pick one
// --port-file   written with the bound port once the service accepts connections
// --notes       every notification as one line (default: standard output)
// --log-dir     debug log root (all categories at every level); no debug log without it
// --kill-at-op  SIGKILL this process just before its Nth file-system change
// --short-timeouts  payload reads of 2 s, command waits of 100 ms (for tests of silent peers)
//
// Stops cleanly on SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "CBFMRepository.h"
#include "CLog.h"
#include "CrashPlatform.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "HostWindow.h"
#include "Platform.h"

namespace {

CrashPlatform* g_crash = nullptr;

std::uint64_t OpCount()
{
    return g_crash ? g_crash->Count() : 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: harborlock-host --root DIR [--port P] [--port-file FILE] [--notes FILE]\n"
                         "                       [--log-dir DIR] [--kill-at-op N] [--short-timeouts]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    CrashPlatform::BlockStopSignals();

    std::map<std::string, std::string> opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--short-timeouts") {
            opt[a] = "1";
            continue;
        }
        if (a.rfind("--", 0) != 0 || i + 1 >= argc)
            return Usage();
        opt[a] = argv[++i];
    }
    if (!opt.count("--root"))
        return Usage();

    hl::Platform& posix = hl::PosixPlatform();
    CrashPlatform crash(posix);
    g_crash = &crash;
    crash.SetNoticeFd(2);
    if (opt.count("--kill-at-op"))
        crash.KillAt(std::strtoull(opt["--kill-at-op"].c_str(), nullptr, 10));
    hl::ScopedPlatform use(crash);

    if (opt.count("--log-dir")) {
        try {
            CLog::Init(opt["--log-dir"]);
            for (int c = 0; c < CLog::kNumCategories; ++c)
                CLog::SetLevels(c, CLog::LEVEL_ERROR | CLog::LEVEL_WARN | CLog::LEVEL_DEBUG);
        } catch (...) {
            std::fprintf(stderr, "harborlock-host: cannot open the debug log in %s\n",
                         opt["--log-dir"].c_str());
            return 1;
        }
    }

    std::unique_ptr<HostWindow> window;
    try {
        window = std::make_unique<HostWindow>(opt.count("--notes") ? opt["--notes"] : std::string());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "harborlock-host: %s\n", e.what());
        return 1;
    }
    window->SetOpCounter(&OpCount);

    const std::string root = opt["--root"];
    try {
        if (!CBFMRepository::GetInstance(root.c_str())) {
            std::fprintf(stderr, "harborlock-host: cannot open the backup folder %s\n", root.c_str());
            return 1;
        }
        GUIComm::GetInstance(window.get());
    } catch (...) {
        std::fprintf(stderr, "harborlock-host: cannot open the backup folder %s\n", root.c_str());
        return 1;
    }

    if (opt.count("--short-timeouts")) {
        HLKTimeouts t;
        t.payloadReadMs = 2000;
        t.commandPollMs = 100;
        t.maxCommandPolls = 100;
        t.listenerPollMs = 50;
        HLKBackup::SetTimeouts(t);
    }

    HLKBackup* service = HLKBackup::GetInstance();
    const int port = opt.count("--port") ? std::atoi(opt["--port"].c_str()) : 0;
    const bool started = port == 0 ? service->HLK_ResetEphemeral() : service->HLK_Reset(port);
    if (!started || service->GetPort() == 0) {
        std::fprintf(stderr, "harborlock-host: the service did not start\n");
        return 1;
    }
    window->Line("Listening " + std::to_string(service->GetPort()));

    if (opt.count("--port-file")) {
        // Written beside the target and renamed, so a reader never sees half a number.
        const std::string target = opt["--port-file"];
        const std::string fresh = target + ".new";
        const std::string text = std::to_string(service->GetPort()) + "\n";
        const int fd = posix.OpenFile(fresh, hl::OpenMode::Truncate);
        if (fd < 0 || !posix.Write(fd, text.data(), text.size()) || !posix.Close(fd) ||
            !posix.MoveFile(fresh, target)) {
            std::fprintf(stderr, "harborlock-host: cannot write %s\n", target.c_str());
            return 1;
        }
    }

    CrashPlatform::WaitForStopSignal();
    window->Line("Stopping");
    HLKBackup::Cleanup();
    GUIComm::Cleanup();
    CBFMRepository::Release();
    window->Line("Stopped");
    return 0;
}
