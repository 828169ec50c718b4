// Reference-counted objects: one heap block holding a hidden header and the record's bytes.
//
// Callers hold the pointer to the record's bytes; the header sits directly in front of it.
// The header's mutex guards the count and is the object's own lock (obj_lock). It is not
// recursive: a thread holding an object's lock never retains or releases that same object.
// A destructor runs with the lock held after the header has been cleared, so lock, unlock,
// retain and release on the dying object are no-ops inside it.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <type_traits>
#include <utility>

using obj_destroy_fn = void (*)(void *obj);

inline constexpr uint32_t OBJ_MAGIC = 0xdeadc0de;

struct obj_header {
    uint32_t magic; // OBJ_MAGIC while live, 0 at death
    uint32_t count;
    int64_t size; // whole block, header included; 0 at death
    pthread_mutex_t mutex;
    obj_destroy_fn destroy;
    void *self; // the object pointer; null at death
};

[[nodiscard]] void *obj_alloc(int32_t size, obj_destroy_fn destroy);
int obj_retain(void *p);  // new count, 0 when p is not a live object
int obj_release(void *p); // new count, 0 when destroyed, -1 when p is not a live object
int obj_refcount(void *p);
int32_t obj_size(void *p);
int obj_lock(void *p);
int obj_trylock(void *p);
int obj_unlock(void *p);
[[nodiscard]] char *obj_strdup(const char *s);

inline obj_header *obj_header_of(void *p)
{
    return reinterpret_cast<obj_header *>(static_cast<char *>(p) - sizeof(obj_header));
}

// The header of a live object; null for a pointer too small to have one or a dead object. The
// magic is read atomically: it races with the writes made under the object's mutex.
inline obj_header *obj_live_header(const void *p)
{
    if (reinterpret_cast<uintptr_t>(p) < sizeof(obj_header))
        return nullptr;
    obj_header *h = obj_header_of(const_cast<void *>(p));
    return __atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) == OBJ_MAGIC ? h : nullptr;
}

// Owns one reference. adopt() takes over a reference the caller already holds; retain() takes
// a new one.
template <class T>
class obj_ref
{
public:
    obj_ref() = default;
    static obj_ref adopt(T *p)
    {
        obj_ref r;
        r.p_ = p;
        return r;
    }
    static obj_ref retain(T *p)
    {
        obj_ref r;
        if (p && obj_retain(p) > 0)
            r.p_ = p;
        return r;
    }
    obj_ref(const obj_ref &o) : p_(o.p_ && obj_retain(o.p_) > 0 ? o.p_ : nullptr) {}
    obj_ref(obj_ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    obj_ref &operator=(obj_ref o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~obj_ref() { reset(); }

    void reset()
    {
        if (p_)
            obj_release(std::exchange(p_, nullptr));
    }
    // Hands the reference back to the caller.
    [[nodiscard]] T *release() { return std::exchange(p_, nullptr); }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    std::add_lvalue_reference_t<T> operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T *p_ = nullptr;
};

// Holds an object's own lock for a scope, or until unlock().
class obj_guard
{
public:
    explicit obj_guard(void *p) : p_(p) { obj_lock(p_); }
    ~obj_guard() { unlock(); }
    // Lets go of the lock before the scope ends; a second call does nothing.
    void unlock()
    {
        if (p_)
            obj_unlock(std::exchange(p_, nullptr));
    }
    obj_guard(const obj_guard &) = delete;
    obj_guard &operator=(const obj_guard &) = delete;

private:
    void *p_;
};
