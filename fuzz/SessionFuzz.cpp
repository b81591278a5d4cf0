// libFuzzer harness over the service's conversations: the input is the byte stream a Quarnex
// server sends on one connection. It is written to a real loopback connection and one worker
// (HLK_BackupWorker, the code every accepted connection runs) serves it to the end, against a
// repository that holds one committed backup, so that backups, merges, inquiries and restores
// all take their full paths. No input may crash the worker, hang it, leak, or make it allocate
// more than a conversation with 65536-byte clusters needs (run with -malloc_limit_mb=1).
//
// The first input byte chooses the answer to a restore prompt (odd: accept); the rest is the
// stream.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "HLKServer.h"
#include "Platform.h"

namespace {

bool g_accept = true;

// Frees every payload as the window does and answers the restore prompt at once (GUIComm
// posts the prompt outside its lock).
class FuzzWindow : public IGUIWindow {
public:
    bool Post(unsigned message, intptr_t lParam) override
    {
        GUIComm::FreePayload(message, lParam);
        if (message == CM_HLKPromptForRestore)
            GUIComm::Instance()->RespondToRestorePrompt(g_accept);
        return true;
    }
};

FuzzWindow g_window;
std::string g_root;
int g_listen = -1;
std::uint16_t g_port = 0;
unsigned g_inputs = 0;

void PutBE(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v >> 24));
    out.push_back(std::uint8_t(v >> 16));
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

// Serves one connection carrying `stream` with a worker on this thread.
void Serve(const std::uint8_t* stream, std::size_t size)
{
    hl::Platform& os = hl::Os();
    const int client = os.Connect("127.0.0.1", g_port);
    if (client < 0)
        std::abort();
    const int server = os.Accept(g_listen, nullptr);
    if (server < 0)
        std::abort();
    // The whole stream waits in the socket buffers before the worker starts; the half-close
    // tells the worker where it ends while its answers can still be sent.
    if (size && !os.SendAll(client, stream, size))
        std::abort();
    ::shutdown(client, SHUT_WR);
    auto sync = std::make_shared<HLK_Thread_Sync_t>();
    HLKServer::HLK_BackupWorker(HLKServer::WorkerArgument{server, sync, HLKServer::Context{}, "127.0.0.1"});
    // Whatever the worker sent back is discarded.
    std::uint8_t sink[65536];
    while (os.WaitReadable(client, 0) == 1 && os.Recv(client, sink, sizeof sink) > 0) {}
    os.Close(client);
}

// A committed full backup of server 0x0001A2B3, made through the worker itself.
void Seed()
{
    std::vector<std::uint8_t> s;
    PutBE(s, 0x55AA0001);
    for (std::uint32_t w : {0x0001A2B3u, 1u, 512u, 1u, 2u, 3u})
        PutBE(s, w);
    PutBE(s, 0x55AA0002);
    PutBE(s, 8);
    for (std::uint32_t id = 1; id <= 8; ++id) {
        PutBE(s, 0x55AA0003);
        PutBE(s, id);
        PutBE(s, id % 3 == 0 ? 1 : 2);
        PutBE(s, 100 + id);
        for (std::uint32_t i = 0; i < 100 + id; ++i)
            s.push_back(std::uint8_t(id * 7 + i));
    }
    PutBE(s, 0x55AA0004);
    Serve(s.data(), s.size());
}

void OpenRepository()
{
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
    CBFMRepository* repo = CBFMRepository::GetInstance(g_root.c_str());
    if (!repo)
        std::abort();
    std::unique_ptr<CBFMServer> s = repo->CreateServer("0001A2B3");
    if (!s)
        std::abort();
    s->SetForceFullType(CBFMServer::Never);
    s->SetNumOldBackupsToKeep(1);
    Seed();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    g_root = hl::PosixPlatform().MakeTempDirectory(tmp && *tmp ? tmp : "/tmp", "hl-fuzz-session-");
    if (g_root.empty())
        std::abort();
    // The backup folder goes with the process (a memory file system must not fill up run by run).
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    });
    GUIComm::GetInstance(&g_window);
    HLKTimeouts t;
    t.payloadReadMs = 20;
    t.commandPollMs = 5;
    t.maxCommandPolls = 2;
    HLKBackup::SetTimeouts(t);
    g_listen = hl::Os().Listen(0, 4);
    if (g_listen < 0)
        std::abort();
    g_port = static_cast<std::uint16_t>(hl::Os().LocalPort(g_listen));
    OpenRepository();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    g_accept = (data[0] & 1) != 0;
    Serve(data + 1, size - 1);
    // New server records pile up with every new serial number: start over now and then.
    if (++g_inputs % 2000 == 0) {
        CBFMRepository::Release();
        OpenRepository();
    }
    return 0;
}
