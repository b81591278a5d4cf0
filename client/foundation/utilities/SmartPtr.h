// Reference-counted owning pointer. The count is shared between copies and
// changed atomically, so copies may be released on different threads.
#pragma once

#include <atomic>
#include <cstdint>

template <typename T>
class SmartPtr {
public:
    SmartPtr() = default;
    explicit SmartPtr(T* object) { Adopt(object); }
    SmartPtr(const SmartPtr& other) : object_(other.object_), count_(other.count_)
    {
        if (count_)
            count_->fetch_add(1);
    }
    SmartPtr& operator=(const SmartPtr& other)
    {
        if (this != &other && count_ != other.count_) {
            Release();
            object_ = other.object_;
            count_ = other.count_;
            if (count_)
                count_->fetch_add(1);
        }
        return *this;
    }
    // Releases the current object and takes ownership of `object` (count 1).
    SmartPtr& operator=(T* object)
    {
        if (object != object_) {
            Release();
            Adopt(object);
        }
        return *this;
    }
    ~SmartPtr() { Release(); }

    void Release()
    {
        if (count_ && count_->fetch_sub(1) == 1) {
            delete object_;
            delete count_;
        }
        object_ = nullptr;
        count_ = nullptr;
    }

    T* Get() const { return object_; }
    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }
    bool IsNull() const { return object_ == nullptr; }
    explicit operator bool() const { return object_ != nullptr; }
    std::uint32_t UseCount() const { return count_ ? count_->load() : 0; }

private:
    void Adopt(T* object)
    {
        object_ = object;
        count_ = object ? new std::atomic<std::uint32_t>(1) : nullptr;
    }

    T* object_ = nullptr;
    std::atomic<std::uint32_t>* count_ = nullptr;
};
