// harborlock-ctl: asks a running harborlockd for its status, its backups and pending restore
// requests, answers those requests, and deletes, exports and imports backups.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ControlPath.h"

#include "HarborlockVersion.h"

namespace {

// Exit codes (the daemon sends 0, 1, 2 and 4 with its answers).
constexpr int kOk = 0;
constexpr int kUsage = 2;
constexpr int kNoDaemon = 3;

const char* const kHelp =
    "Usage: harborlock-ctl [--json] [--control PATH] COMMAND [ARGUMENT]...\n"
    "Control a running harborlockd.\n"
    "\n"
    "Commands:\n"
    "  status                          state, port, backup folder, current transfer,\n"
    "                                  servers with no recent backup\n"
    "  servers                         every known Quarnex server: last backup, number of\n"
    "                                  backups, size on disk, state (OK, overdue, none)\n"
    "  backups [SERVER]                stored backups (of one server)\n"
    "  prompts                         the restore request waiting for an answer\n"
    "  accept [ID]                     accept the waiting restore request\n"
    "  reject [ID]                     reject the waiting restore request\n"
    "  delete SERVER BACKUP            delete a stored backup\n"
    "  export SERVER BACKUP FOLDER NAME  copy a backup to FOLDER/NAME\n"
    "  import FOLDER                   bring an exported backup into the backup folder\n"
    "  pins                            servers pinned to the address they first backed up from\n"
    "  forget-pin SERVER               forget a server's address pin (a server that moved)\n"
    "  verify [SERVER]                 check every stored backup (of one server) against its\n"
    "                                  checksums; exit status 1 when one is damaged\n"
    "\n"
    "Options:\n"
    "  --json           answer in JSON, for scripts\n"
    "  --control PATH   harborlockd's control socket (default: $XDG_RUNTIME_DIR/harborlockd.sock,\n"
    "                   else in the data root)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done; 1 failed or refused (the text says why); 2 bad command line;\n"
    "3 harborlockd does not answer; 4 Harborlock is busy, try again when it is idle.\n";

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "harborlock-ctl: %s\nTry 'harborlock-ctl --help'.\n", problem.c_str());
    return kUsage;
}

// Paths travel to the daemon, which runs elsewhere: make them absolute here.
std::string Absolute(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    std::string control;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return kOk;
        }
        if (a == "--version") {
            std::printf("harborlock-ctl (Harborlock) %s\n", HARBORLOCK_VERSION);
            return kOk;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "--control") {
            if (i + 1 >= argc)
                return Usage("--control needs a path");
            control = argv[++i];
        } else if (a.size() > 1 && a[0] == '-' && words.empty()) {
            return Usage("unknown option " + a);
        } else {
            words.push_back(a);
        }
    }
    if (words.empty())
        return Usage("no command given");

    const std::string& command = words[0];
    const std::size_t n = words.size() - 1;
    bool ok = false;
    if (command == "status" || command == "servers" || command == "prompts" || command == "pins")
        ok = n == 0;
    else if (command == "backups" || command == "accept" || command == "reject" || command == "verify")
        ok = n <= 1;
    else if (command == "delete")
        ok = n == 2;
    else if (command == "export")
        ok = n == 4;
    else if (command == "import" || command == "forget-pin")
        ok = n == 1;
    else
        return Usage("unknown command " + command);
    if (!ok)
        return Usage("wrong number of arguments for " + command);
    if (command == "export")
        words[3] = Absolute(words[3]);
    if (command == "import")
        words[1] = Absolute(words[1]);

    std::string request = json ? "json" : "text";
    for (const std::string& w : words) {
        if (w.find('\t') != std::string::npos || w.find('\n') != std::string::npos)
            return Usage("arguments cannot hold tabs or line ends");
        request += "\t" + w;
    }
    request += "\n";

    if (control.empty())
        control = DefaultControlPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control.size() >= sizeof addr.sun_path)
        return Usage("control socket path too long");
    std::memcpy(addr.sun_path, control.c_str(), control.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "harborlock-ctl: harborlockd does not answer on %s: %s\n", control.c_str(),
                     std::strerror(errno));
        return kNoDaemon;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t w = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (w <= 0) {
            std::fprintf(stderr, "harborlock-ctl: harborlockd closed the connection\n");
            ::close(fd);
            return kNoDaemon;
        }
        sent += static_cast<std::size_t>(w);
    }
    // An export, import or verify answers when it is done, which may take a while.
    std::string answer;
    char buf[8192];
    ssize_t r;
    while ((r = ::recv(fd, buf, sizeof buf, 0)) > 0 || (r < 0 && errno == EINTR))
        if (r > 0)
            answer.append(buf, static_cast<std::size_t>(r));
    ::close(fd);

    const auto eol = answer.find('\n');
    if (eol == std::string::npos || eol == 0) {
        std::fprintf(stderr, "harborlock-ctl: harborlockd gave no answer\n");
        return kNoDaemon;
    }
    const int code = std::atoi(answer.substr(0, eol).c_str());
    const std::string body = answer.substr(eol + 1);
    std::fputs(body.c_str(), code == kOk || json ? stdout : stderr);
    return code;
}
