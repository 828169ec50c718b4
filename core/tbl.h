// Keyed tables of reference-counted objects.
//
// 2^bits buckets chosen by the top bits of a 32-bit key; each bucket is a doubly linked list in
// ascending (unsigned) key order with its own mutex and change counter. The table holds one
// reference per element; tbl_find and tbl_iter_next hand the caller another. Equal keys may
// occur: find and remove act on the last node with the key (removal goes by key alone).
// Locking: a key function runs before any lock; bucket, then the table's own lock (count),
// and bucket, then an element's lock. Iterators hold no lock between calls and find their
// place again by key when the bucket changed under them. A pick callback (tbl_add_picked) runs
// under its bucket's lock and must not use the table.
#pragma once

#include "core/obj.h"

#include <cstdint>
#include <mutex>

using tbl_key_fn = uint32_t (*)(const void *p, int is_key);
using tbl_visit_fn = void (*)(void *element, void *user);

// The bucket that tbl_add_picked is filling, as its pick callback sees it.
struct tbl_probe;
// Chooses a new element's key: gives the element that key (so that the key function returns it
// from then on), writes it to *key and returns 1; 0 when no key will do.
using tbl_pick_fn = int (*)(void *element, tbl_probe *probe, void *user, uint32_t *key);

inline constexpr uint16_t TBL_MAX_BITS = 14;

struct tbl_node {
    uint32_t key;
    tbl_node *next;
    tbl_node *prev; // in a bucket's first node: the bucket's last node
    obj_header *element;
};

struct tbl_table {
    uint16_t bits;
    int64_t count;
    tbl_key_fn key_fn;
    tbl_node **heads;
    std::mutex *mutexes;
    uint64_t *counters;
};

struct tbl_iter {
    tbl_table *table;
    uint16_t bucket;
    uint64_t version;
    uint32_t next_key;
    uint32_t current_key;
    tbl_node *next;
    tbl_node *current;
};

[[nodiscard]] tbl_table *tbl_create(uint16_t bits, tbl_key_fn key_fn);
[[nodiscard]] int tbl_add(tbl_table *t, void *element);
// As tbl_add, with a key that pick chooses for a bucket; the choice and the placing are one step
// under that bucket's lock, so no other add can take the same key in between. 1 when added; 0
// as tbl_add fails, also for a key outside the bucket; -1 when pick found none.
[[nodiscard]] int tbl_add_picked(tbl_table *t, void *element, uint32_t bucket, tbl_pick_fn pick,
                                 void *user);
// 1 when an element of the probed bucket holds key. Keys asked in ascending order cost one walk
// of the bucket in all.
int tbl_probe_taken(tbl_probe *probe, uint32_t key);
void tbl_remove(tbl_table *t, void *element);
[[nodiscard]] void *tbl_find(tbl_table *t, const void *key);
int32_t tbl_count(tbl_table *t);
[[nodiscard]] tbl_iter *tbl_iter_create(tbl_table *t);
[[nodiscard]] tbl_iter *tbl_iter_create_ex(tbl_table *t, uint8_t no_retain);
[[nodiscard]] void *tbl_iter_next(tbl_iter *it);
void tbl_iter_remove(tbl_iter *it);
// 0, also when there is nothing to walk; -1 when the walk could not start (no memory).
int tbl_foreach(tbl_table *t, tbl_visit_fn visit, void *user);
uint32_t tbl_key_of(tbl_key_fn key_fn, const void *p, int is_key);
uint32_t tbl_bucket_of(const tbl_table *t, uint32_t key);

void tbl_destroy(void *table);
void tbl_iter_destroy(void *iter);
