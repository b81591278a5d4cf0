#include "HarborlockdFixture.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>

#include "Eventually.h"
#include "Platform.h"
#include "ServedPort.h"

void HarborlockdTest::SetUp()
{
    SandboxTest::SetUp();
    home = SandboxPath("home");
    dataHome = home + "/data";
    runtime = SandboxPath("run");
    for (const std::string& d :
         {home, dataHome, runtime, dataHome + "/Quarnex", dataHome + "/Quarnex/Harborlock", ConfigDir()})
        hl::Os().CreateDirectory(d);
    ::chmod(runtime.c_str(), 0700);
    folder = home + "/HarborlockBackups";
    control = runtime + "/harborlockd.sock";
}

std::vector<std::string> HarborlockdTest::Env() const
{
    return {"HOME=" + home, "XDG_DATA_HOME=" + dataHome, "XDG_RUNTIME_DIR=" + runtime,
            "NOTIFY_SOCKET=" + notifySocket};
}

void HarborlockdTest::WriteSettings(int onPort, const std::string& backupFolder)
{
    WriteFile(SettingsPath(), "BackupDataBasePath: " + backupFolder +
                                  "\r\nIPPort: " + std::to_string(onPort) + "\r\n" + extraSettings);
}

bool HarborlockdTest::StartDaemon(ChildProcess& child, std::vector<std::string> extra, const std::string& tag)
{
    int rc = -1;
    port = testsupport::StartOnServedPort([&](int candidate) {
        WriteSettings(candidate, folder);
        rc = SpawnDaemon(child, extra, tag);
        return rc != 5; // 5: the service did not start (the port is in use); other failures are final
    });
    return rc == 0;
}

int HarborlockdTest::SpawnDaemon(ChildProcess& child, std::vector<std::string> extra, const std::string& tag)
{
    std::vector<std::string> args = {HARBORLOCKD_PATH};
    args.insert(args.end(), extra.begin(), extra.end());
    outPath = SandboxPath(tag + ".out");
    errPath = SandboxPath(tag + ".err");
    if (!child.Spawn(args, Env(), outPath, errPath))
        return -2;
    int code = -1;
    const bool settled = testsupport::Eventually(
        [&] {
            if (Contains(ReadFile(outPath), "harborlockd: ready"))
                return true;
            if (!child.Running()) {
                code = child.Wait(1);
                return true;
            }
            return false;
        },
        std::chrono::seconds(30));
    if (!settled)
        return -3;
    return Contains(ReadFile(outPath), "harborlockd: ready") ? 0 : code;
}

int HarborlockdTest::Ctl(const std::string& args)
{
    const std::string out = SandboxPath("ctl.txt");
    const std::string cmd =
        std::string(HARBORLOCK_CTL_PATH) + " --control " + control + " " + args + " > " + out + " 2>&1";
    const int rc = std::system(cmd.c_str());
    output = ReadFile(out);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int HarborlockdTest::Sim(const std::string& args, int onPort)
{
    const std::string out = SandboxPath("sim.txt");
    const std::string cmd = std::string(QUARNEX_SIM_PATH) + " " + args + " --port " +
                            std::to_string(onPort ? onPort : port) + " > " + out + " 2>&1";
    const int rc = std::system(cmd.c_str());
    output = ReadFile(out);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool HarborlockdTest::SimInBackground(ChildProcess& sim, const std::string& command,
                                      const std::vector<std::string>& args)
{
    std::vector<std::string> all = {QUARNEX_SIM_PATH, command, "--port", std::to_string(port)};
    all.insert(all.end(), args.begin(), args.end());
    return sim.Spawn(all, {}, SandboxPath("bg.out"), SandboxPath("bg.err"));
}

bool HarborlockdTest::Saved(int backups)
{
    return testsupport::Eventually(
        [&] { return Count(ActivityLog(), "  Saving backup completed successfully\n") >= backups; },
        std::chrono::seconds(30));
}

bool HarborlockdTest::PromptWaiting()
{
    return Ctl("--json prompts") == 0 && Contains(output, "\"id\":");
}

bool HarborlockdTest::SettingsRead(int reads)
{
    return testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == reads; },
                                   std::chrono::seconds(30));
}

int HarborlockdTest::Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}
