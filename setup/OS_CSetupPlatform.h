// The setup stub's only door to the operating system. The stub must run on a
// machine that has none of Harborlock's libraries, so it does not use the
// program's platform layer; every direct POSIX call of the stub lives here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class OS_CSetupPlatform {
public:
    // Path of the running executable; empty when it cannot be found.
    static std::string OwnFilePath();

    // Descriptors are plain ints, -1 = invalid; all are opened with O_CLOEXEC.
    static int OpenRead(const std::string& path);
    // Creates or empties `path` for writing. Refuses to follow a symbolic link
    // at the last component, so a planted link cannot redirect the write.
    static int CreateReplace(const std::string& path);
    static void Close(int fd);
    // Size of an open file, -1 on failure.
    static std::int64_t FileSize(int fd);
    // Reads exactly `count` bytes at `offset`; false on failure or short read.
    static bool ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t count);
    static bool WriteAll(int fd, const void* data, std::size_t count);
    // Flushes to disk, then closes (always closes).
    static bool FlushClose(int fd);

    static bool RemoveFile(const std::string& path);
    static bool RemoveDir(const std::string& path);
    // Creates the folder and any missing parents.
    static bool MakeDirs(const std::string& path);
    // Creates a new folder only the user can enter, under the user's temporary
    // folder ($TMPDIR, else /tmp). Empty on failure.
    static std::string MakePrivateTempDir(const std::string& prefix);

    // Starts argv[0] (looked up in PATH when it has no "/") with argv, waits for it
    // and returns its exit code (128 + signal number when a signal ended it).
    // Returns -1 when it could not be started. While waiting, the stub ignores
    // SIGINT and SIGQUIT so that an interrupted installer still gets cleaned up
    // after; the child gets them with their default action.
    static int RunAndWait(const std::vector<std::string>& argv);
    // Starts a process without waiting; its pid, or -1.
    static long Start(const std::vector<std::string>& argv);
    // Ends a process started by Start and collects it.
    static void Stop(long pid);

    // Full path of `tool` found in PATH, or empty.
    static std::string FindInPath(const std::string& tool);
    // Whether the user can see what the stub writes to stderr.
    static bool HasTerminal();
    // Whether a graphical session is there to show a dialog on.
    static bool HasDisplay();
    static void WriteStderr(const std::string& text);
};
