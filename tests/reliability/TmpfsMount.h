// A small tmpfs mounted for the span of a test: a real file system that really fills up.
#pragma once

#include <cstdint>
#include <string>

class TmpfsMount {
public:
    TmpfsMount() = default;
    ~TmpfsMount(); // unmounts
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    // Creates dir and mounts a tmpfs of `bytes` on it. False, with the reason, where this
    // process may not mount.
    bool Mount(const std::string& dir, std::uint64_t bytes, std::string& why);
    void Unmount();
    // Bytes free for this user.
    std::uint64_t Free() const;

private:
    std::string m_dir;
};
