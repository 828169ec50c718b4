// Reference-counted objects. Magic and count are read without the mutex to decide whether to
// lock at all; those reads are atomic so they never race with the writes made under the mutex.
#include "core/obj.h"

#include "core/obj_private.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace
{

uint32_t load(const uint32_t *v)
{
    return __atomic_load_n(v, __ATOMIC_ACQUIRE);
}

void store(uint32_t *v, uint32_t x)
{
    __atomic_store_n(v, x, __ATOMIC_RELEASE);
}

std::atomic<obj_alloc_fail_fn> alloc_fail;

} // namespace

obj_alloc_fail_fn obj_set_alloc_fail(obj_alloc_fail_fn fn)
{
    return alloc_fail.exchange(fn);
}

void *obj_alloc(int32_t size, obj_destroy_fn destroy)
{
    // A block must fit a signed 32-bit size, header included.
    int64_t total = int64_t(sizeof(obj_header)) + size;
    if (size < 0 || total > INT32_MAX)
        return nullptr;
    obj_alloc_fail_fn fail = alloc_fail.load(std::memory_order_relaxed);
    if (fail && fail(size, destroy))
        return nullptr;
    auto *h = static_cast<obj_header *>(calloc(1, size_t(total)));
    if (!h)
        return nullptr;
    pthread_mutex_init(&h->mutex, nullptr);
    h->count = 1;
    h->size = total;
    h->destroy = destroy;
    h->self = h + 1;
    store(&h->magic, OBJ_MAGIC);
    return h->self;
}

int obj_retain(void *p)
{
    obj_header *h = obj_live_header(p);
    if (!h || pthread_mutex_lock(&h->mutex) != 0)
        return 0;
    if (load(&h->magic) != OBJ_MAGIC || load(&h->count) == 0) {
        pthread_mutex_unlock(&h->mutex);
        return 0;
    }
    uint32_t n = load(&h->count) + 1;
    store(&h->count, n);
    pthread_mutex_unlock(&h->mutex);
    return int(n);
}

int obj_release(void *p)
{
    obj_header *h = obj_live_header(p);
    if (!h || load(&h->count) == 0)
        return -1;
    pthread_mutex_lock(&h->mutex);
    uint32_t n = load(&h->count) - 1;
    store(&h->count, n);
    if (n != 0) {
        pthread_mutex_unlock(&h->mutex);
        return int(n);
    }
    store(&h->magic, 0);
    h->size = 0;
    h->self = nullptr;
    if (h->destroy)
        h->destroy(p);
    pthread_mutex_unlock(&h->mutex);
    pthread_mutex_destroy(&h->mutex);
    free(h);
    return 0;
}

int obj_refcount(void *p)
{
    obj_header *h = obj_live_header(p);
    if (!h)
        return -1;
    pthread_mutex_lock(&h->mutex);
    int n = int(load(&h->count));
    pthread_mutex_unlock(&h->mutex);
    return n;
}

int32_t obj_size(void *p)
{
    obj_header *h = obj_live_header(p);
    if (!h)
        return 0;
    pthread_mutex_lock(&h->mutex);
    auto n = int32_t(h->size - int64_t(sizeof(obj_header)));
    pthread_mutex_unlock(&h->mutex);
    return n;
}

int obj_lock(void *p)
{
    if (obj_header *h = obj_live_header(p))
        pthread_mutex_lock(&h->mutex);
    return 0;
}

int obj_trylock(void *p)
{
    obj_header *h = obj_live_header(p);
    if (!h)
        return -1;
    return pthread_mutex_trylock(&h->mutex) == 0 ? 0 : -1;
}

int obj_unlock(void *p)
{
    if (obj_header *h = obj_live_header(p))
        pthread_mutex_unlock(&h->mutex);
    return 0;
}

char *obj_strdup(const char *s)
{
    size_t n = strlen(s) + 1;
    if (n > size_t(INT32_MAX))
        return nullptr;
    auto *d = static_cast<char *>(obj_alloc(int32_t(n), nullptr));
    if (d)
        memcpy(d, s, n);
    return d;
}
