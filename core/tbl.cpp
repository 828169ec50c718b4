// Keyed tables. A bucket's nodes, head and counter are touched only under its mutex; the
// element count under the table's own object lock.
#include "core/tbl.h"

#include "core/lookup3.h"

#include <cstdlib>
#include <new>

namespace
{

size_t nbuckets(const tbl_table *t)
{
    return size_t(1) << t->bits;
}

void *element_of(const tbl_node *n)
{
    return n->element ? n->element->self : nullptr;
}

// The last node whose key is at most k, or the first node when even its key is greater.
tbl_node *walk(tbl_node *n, uint32_t k)
{
    while (n && n->next && n->next->key <= k)
        n = n->next;
    return n;
}

bool matches(const tbl_node *n, uint32_t k)
{
    return n && n->element && n->key == k;
}

void unlink(tbl_table *t, size_t b, tbl_node *n)
{
    tbl_node *first = t->heads[b];
    if (n == first) {
        if (n->next) {
            n->next->prev = n->prev; // the last node, or the follower itself
            t->heads[b] = n->next;
        } else {
            t->heads[b] = nullptr;
        }
        return;
    }
    n->prev->next = n->next;
    if (n->next)
        n->next->prev = n->prev;
    else
        first->prev = n->prev;
}

// Unlinks n, drops the table's reference to its element and frees it. Bucket locked.
void drop_node(tbl_table *t, size_t b, tbl_node *n)
{
    unlink(t, b, n);
    void *e = element_of(n);
    free(n);
    obj_release(e);
}

// Links a node for the element into bucket b in key order, with the table's reference that
// held gives up. Bucket locked; false when no node can be allocated.
bool place(tbl_table *t, size_t b, uint32_t key, obj_ref<void> &held)
{
    tbl_node *first = t->heads[b];
    tbl_node *node =
        first && !first->element ? first : static_cast<tbl_node *>(calloc(1, sizeof(tbl_node)));
    if (!node)
        return false;
    node->key = key;
    node->element = obj_header_of(held.release());
    if (!first || node == first) {
        node->next = nullptr;
        node->prev = node;
        t->heads[b] = node;
    } else if (first->key > key) {
        node->next = first;
        node->prev = first->prev;
        first->prev = node;
        t->heads[b] = node;
    } else {
        // Before the first node past the head whose key is at least key; at the end when there
        // is none (the last node's key is smaller: no walk).
        tbl_node *at = first->prev->key < key ? nullptr : first->next;
        while (at && at->key < key)
            at = at->next;
        if (at) {
            node->prev = at->prev;
            node->next = at;
            at->prev->next = node;
            at->prev = node;
        } else {
            tbl_node *last = first->prev;
            last->next = node;
            node->prev = last;
            first->prev = node;
        }
    }
    t->counters[b]++;
    return true;
}

// Callers have let go of the bucket's lock by now, so the count can lag for a moment.
void count_added(tbl_table *t)
{
    obj_guard g(t);
    t->count++;
}

} // namespace

struct tbl_probe {
    tbl_node *first;
    tbl_node *at; // where the last answer's walk stopped
};

uint32_t tbl_key_of(tbl_key_fn key_fn, const void *p, int is_key)
{
    if (key_fn)
        return key_fn(p, is_key);
    const obj_header *h = obj_live_header(p);
    return h ? hashlittle(h, size_t(h->size), 0xdeadbeef) : 0;
}

uint32_t tbl_bucket_of(const tbl_table *t, uint32_t key)
{
    // A shift by 32 is undefined: with no key bits every key goes to bucket 0.
    return t->bits == 0 ? 0 : key >> (32 - t->bits);
}

tbl_table *tbl_create(uint16_t bits, tbl_key_fn key_fn)
{
    if (bits > TBL_MAX_BITS)
        return nullptr;
    size_t n = size_t(1) << bits;
    size_t arrays = n * (sizeof(tbl_node *) + sizeof(std::mutex) + sizeof(uint64_t));
    auto *t = static_cast<tbl_table *>(obj_alloc(int32_t(sizeof(tbl_table) + arrays), tbl_destroy));
    if (!t)
        return nullptr;
    t->bits = bits;
    t->heads = reinterpret_cast<tbl_node **>(t + 1);
    t->mutexes = reinterpret_cast<std::mutex *>(t->heads + n);
    t->counters = reinterpret_cast<uint64_t *>(t->mutexes + n);
    for (size_t b = 0; b < n; b++) {
        t->heads[b] = static_cast<tbl_node *>(calloc(1, sizeof(tbl_node)));
        new (&t->mutexes[b]) std::mutex;
    }
    t->key_fn = key_fn;
    return t;
}

int tbl_add(tbl_table *t, void *element)
{
    // Both references go only after the bucket's lock: the table's last one destroys it.
    auto table = obj_ref<tbl_table>::retain(t);
    if (!table)
        return 0;
    auto held = obj_ref<void>::retain(element);
    if (!held)
        return 0;
    uint32_t key = tbl_key_of(t->key_fn, element, 0);
    size_t b = tbl_bucket_of(t, key);

    std::unique_lock<std::mutex> lock(t->mutexes[b]);
    if (!place(t, b, key, held))
        return 0;
    lock.unlock();
    count_added(t);
    return 1;
}

int tbl_add_picked(tbl_table *t, void *element, uint32_t bucket, tbl_pick_fn pick, void *user)
{
    auto table = obj_ref<tbl_table>::retain(t);
    if (!table || !pick || bucket >= nbuckets(t))
        return 0;
    auto held = obj_ref<void>::retain(element);
    if (!held)
        return 0;

    std::unique_lock<std::mutex> lock(t->mutexes[bucket]);
    tbl_probe probe{t->heads[bucket], nullptr};
    uint32_t key = 0;
    if (!pick(element, &probe, user, &key))
        return -1;
    if (tbl_bucket_of(t, key) != bucket || !place(t, bucket, key, held))
        return 0;
    lock.unlock();
    count_added(t);
    return 1;
}

int tbl_probe_taken(tbl_probe *probe, uint32_t key)
{
    tbl_node *from = probe->at && probe->at->key <= key ? probe->at : probe->first;
    probe->at = walk(from, key);
    return matches(probe->at, key);
}

void tbl_remove(tbl_table *t, void *element)
{
    if (!t)
        return;
    uint32_t key = tbl_key_of(t->key_fn, element, 0);
    size_t b = tbl_bucket_of(t, key);
    std::lock_guard<std::mutex> lock(t->mutexes[b]);
    tbl_node *n = walk(t->heads[b], key);
    if (!matches(n, key))
        return;
    drop_node(t, b, n);
    obj_guard g(t);
    t->count--;
    t->counters[b]++;
}

void *tbl_find(tbl_table *t, const void *lookup)
{
    if (!t)
        return nullptr;
    uint32_t key = tbl_key_of(t->key_fn, lookup, 1);
    size_t b = tbl_bucket_of(t, key);
    std::lock_guard<std::mutex> lock(t->mutexes[b]);
    tbl_node *n = walk(t->heads[b], key);
    return matches(n, key) && obj_retain(element_of(n)) > 0 ? element_of(n) : nullptr;
}

int32_t tbl_count(tbl_table *t)
{
    if (!t)
        return -1;
    obj_lock(t);
    auto n = int32_t(t->count);
    obj_unlock(t);
    return n;
}

tbl_iter *tbl_iter_create_ex(tbl_table *t, uint8_t no_retain)
{
    if (!t)
        return nullptr;
    auto *it = static_cast<tbl_iter *>(obj_alloc(sizeof(tbl_iter), tbl_iter_destroy));
    if (!it)
        return nullptr;
    if (!no_retain && obj_retain(t) == 0) {
        obj_release(it);
        return nullptr;
    }
    it->table = t;
    std::lock_guard<std::mutex> lock(t->mutexes[0]);
    it->next = t->heads[0];
    it->next_key = it->next ? it->next->key : 0;
    it->version = t->counters[0];
    return it;
}

tbl_iter *tbl_iter_create(tbl_table *t)
{
    return tbl_iter_create_ex(t, 0);
}

void *tbl_iter_next(tbl_iter *it)
{
    tbl_table *t = it->table;
    if (it->bucket >= nbuckets(t))
        return nullptr;
    t->mutexes[it->bucket].lock();
    if (it->next && t->counters[it->bucket] != it->version) {
        tbl_node *n = walk(t->heads[it->bucket], it->next_key);
        while (n && n->key < it->next_key)
            n = n->next;
        it->next = n;
    }
    while (!it->next || !it->next->element) {
        t->mutexes[it->bucket].unlock();
        // The node last handed out belongs to the bucket being left.
        it->current = nullptr;
        it->current_key = 0;
        if (++it->bucket >= nbuckets(t))
            return nullptr;
        t->mutexes[it->bucket].lock();
        it->next = t->heads[it->bucket];
        it->version = t->counters[it->bucket];
    }
    tbl_node *n = it->next;
    it->current = n;
    it->current_key = n->key;
    void *e = element_of(n);
    obj_retain(e);
    it->next = n->next;
    it->next_key = n->next ? n->next->key : 0;
    t->mutexes[it->bucket].unlock();
    return e;
}

void tbl_iter_remove(tbl_iter *it)
{
    tbl_table *t = it->table;
    size_t b = it->bucket;
    if (b >= nbuckets(t))
        return;
    std::unique_lock<std::mutex> lock(t->mutexes[b]);
    tbl_node *n = it->current;
    if (n && t->counters[b] != it->version) {
        n = walk(t->heads[b], it->current_key);
        if (!matches(n, it->current_key))
            n = nullptr;
    }
    if (!n)
        return;
    drop_node(t, b, n);
    t->counters[b]++;
    it->version++;
    it->current = nullptr;
    it->current_key = 0;
    lock.unlock();

    obj_guard g(t);
    t->count--;
}

int tbl_foreach(tbl_table *t, tbl_visit_fn visit, void *user)
{
    if (!t || !visit)
        return 0;
    tbl_iter *it = tbl_iter_create(t);
    if (!it)
        return -1;
    while (void *e = tbl_iter_next(it)) {
        visit(e, user);
        obj_release(e);
    }
    obj_release(it);
    return 0;
}

void tbl_destroy(void *p)
{
    // The last reference is gone, so no other thread can reach the buckets: drain them
    // without their locks (taking a bucket lock here, under the table's own lock, would
    // invert the bucket-then-table order that every other path keeps).
    auto *t = static_cast<tbl_table *>(p);
    for (size_t b = 0; b < nbuckets(t); b++) {
        while (tbl_node *n = t->heads[b]) {
            if (!n->element) {
                t->heads[b] = nullptr;
                free(n);
                break;
            }
            drop_node(t, b, n);
            t->count--;
        }
        t->mutexes[b].~mutex();
    }
}

void tbl_iter_destroy(void *p)
{
    auto *it = static_cast<tbl_iter *>(p);
    if (it->table)
        obj_release(it->table);
}
