// harborlockd: the Harborlock backup service without a window, for servers and for PCs where
// no one is logged in when the Quarnex servers back up.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "HarborlockDaemon.h"

#include "HarborlockVersion.h"

namespace {

const char* const kHelp =
    "Usage: harborlockd [OPTION]...\n"
    "Run the Harborlock backup service for Quarnex phone-system servers without a window.\n"
    "\n"
    "It uses the same settings file, backup folder, debug log and activity log as the\n"
    "Harborlock window, and refuses to start while another Harborlock serves the same\n"
    "backup folder. Control it with harborlock-ctl.\n"
    "\n"
    "Options:\n"
    "  --settings FILE        settings file to use (default: Harborlock.cfg in the\n"
    "                         Config folder of the data root)\n"
    "  --control PATH         control socket for harborlock-ctl (default:\n"
    "                         $XDG_RUNTIME_DIR/harborlockd.sock, else in the data root)\n"
    "  --prompt-timeout SECS  how long a restore request waits for an answer before it\n"
    "                         is rejected (default 90)\n"
    "  --clock-offset SECS    testing aid: judge quiet servers as if the clock were SECS\n"
    "                         seconds ahead (may be negative); nothing else uses it\n"
    "  --help                 show this help and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "The data root is $XDG_DATA_HOME/Quarnex/Harborlock (default ~/.local/share/...).\n"
    "\n"
    "Every 30 minutes and after each backup it checks for Quarnex servers that have not\n"
    "backed up for longer than their \"warn after N days\" setting (ServerWarnDays-<ID> in\n"
    "the settings file, default 2 days); each one that goes quiet is written once to the\n"
    "activity log and the debug log, and harborlock-ctl status lists it.\n"
    "\n"
    "Signals: SIGTERM and SIGINT stop the service cleanly; SIGHUP reads the settings\n"
    "again and restarts the service when the port or the backup folder changed.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGTERM or SIGINT\n"
    "  1  internal error (data folder, debug log, ...)\n"
    "  2  bad command line\n"
    "  3  the backup folder is already served by another Harborlock\n"
    "  4  the backup folder cannot be used\n"
    "  5  the backup service did not start (for example, the port is in use)\n"
    "  6  the control socket cannot be opened\n";

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "harborlockd: %s\nTry 'harborlockd --help'.\n", problem.c_str());
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    // Signals are taken by the main loop alone: block them before any thread exists, so that
    // every service thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    DaemonOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("harborlockd (Harborlock) %s\n", HARBORLOCK_VERSION);
            return 0;
        }
        if (a == "--settings") {
            if (!value(options.settingsPath) || options.settingsPath.empty())
                return Usage("--settings needs a file");
        } else if (a == "--control") {
            if (!value(options.controlPath) || options.controlPath.empty())
                return Usage("--control needs a path");
        } else if (a == "--prompt-timeout") {
            std::string text;
            char* end = nullptr;
            if (!value(text))
                return Usage("--prompt-timeout needs a number of seconds");
            const long seconds = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || seconds < 1 || seconds > 86400)
                return Usage("--prompt-timeout takes 1 to 86400 seconds");
            options.promptTimeoutSeconds = static_cast<int>(seconds);
        } else if (a == "--clock-offset") {
            std::string text;
            char* end = nullptr;
            if (!value(text))
                return Usage("--clock-offset needs a number of seconds");
            errno = 0;
            const long long seconds = std::strtoll(text.c_str(), &end, 10);
            // Ten years either way is plenty for a test and keeps the arithmetic far from overflow.
            if (text.empty() || *end != '\0' || errno != 0 || seconds < -315360000LL || seconds > 315360000LL)
                return Usage("--clock-offset takes a whole number of seconds");
            options.clockOffsetSeconds = seconds;
        } else {
            return Usage("unknown option " + a);
        }
    }

    HarborlockDaemon daemon;
    return daemon.Run(options);
}
