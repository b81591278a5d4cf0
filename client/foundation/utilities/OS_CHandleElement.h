// Owns one waitable descriptor of the platform layer.
#pragma once

// A raw waitable handle: a platform descriptor (event, semaphore, socket, the
// address-change source). -1 is the invalid value.
using OS_HANDLE = int;
inline constexpr OS_HANDLE OS_INVALID_HANDLE = -1;

class OS_CHandleElement {
public:
    OS_CHandleElement() = default;
    explicit OS_CHandleElement(OS_HANDLE handle) : handle_(handle) {}
    OS_CHandleElement(const OS_CHandleElement&) = delete;
    OS_CHandleElement& operator=(const OS_CHandleElement&) = delete;
    // Closes the handle unless it is invalid.
    virtual ~OS_CHandleElement();

    OS_HANDLE GetHandle() const { return handle_; }

protected:
    OS_HANDLE handle_ = OS_INVALID_HANDLE;
};
