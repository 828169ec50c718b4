#include "core/tbl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

// An element carries its key and a name; the key function reads the key.
struct item {
    uint32_t key;
    char name;
};

std::atomic<int> destroyed;
void item_destroy(void *)
{
    destroyed++;
}

uint32_t item_key(const void *p, int is_key)
{
    return is_key ? *static_cast<const uint32_t *>(p) : static_cast<const item *>(p)->key;
}

item *make(uint32_t key, char name)
{
    auto *i = static_cast<item *>(obj_alloc(sizeof(item), item_destroy));
    i->key = key;
    i->name = name;
    return i;
}

// The names of a table's elements in the order an iterator hands them out.
std::string names_in_order(tbl_table *t)
{
    std::string s;
    tbl_iter *it = tbl_iter_create(t);
    while (auto *i = static_cast<item *>(tbl_iter_next(it))) {
        s += i->name;
        obj_release(i);
    }
    obj_release(it);
    return s;
}

struct Table : ::testing::Test {
    tbl_table *t = nullptr;
    std::vector<item *> mine;

    void SetUp() override
    {
        destroyed = 0;
        t = tbl_create(4, item_key);
        ASSERT_NE(t, nullptr);
    }
    void TearDown() override
    {
        obj_release(t);
        for (item *i : mine)
            obj_release(i);
    }
    item *add(uint32_t key, char name)
    {
        item *i = make(key, name);
        mine.push_back(i);
        EXPECT_EQ(tbl_add(t, i), 1);
        return i;
    }
    std::string walk() { return names_in_order(t); }
    char find(uint32_t key)
    {
        auto *i = static_cast<item *>(tbl_find(t, &key));
        char c = i ? i->name : '-';
        obj_release(i);
        return c;
    }
    void remove_key(uint32_t key)
    {
        // tbl_remove goes by key alone, so any element with the key will do as the probe.
        item *p = make(key, '?');
        tbl_remove(t, p);
        obj_release(p);
    }
};

TEST_F(Table, EqualKeysPlaceFindAndRemoveInTheirOrder)
{
    add(7, 'P');
    add(7, 'Q');
    add(7, 'R');
    EXPECT_EQ(walk(), "PRQ");
    EXPECT_EQ(find(7), 'Q');
    remove_key(7);
    EXPECT_EQ(walk(), "PR");
    remove_key(7);
    EXPECT_EQ(walk(), "P");
    remove_key(7);
    EXPECT_EQ(walk(), "");
    EXPECT_EQ(tbl_count(t), 0);
}

TEST_F(Table, EqualKeyAfterTheFirstNodeGoesToTheStartOfItsRun)
{
    add(1, 'P');
    add(5, 'R');
    add(5, 'Q');
    EXPECT_EQ(walk(), "PQR");
}

TEST_F(Table, WalkIsAscendingUnsignedOverAllBuckets)
{
    const uint32_t keys[] = {0xF0000000, 3, 0x80000001, 0x10000000, 0xFFFFFFFF, 0, 0x7FFFFFFF};
    const char names[] = "fbecgad";
    for (int i = 0; i < 7; i++)
        add(keys[i], names[i]);
    EXPECT_EQ(walk(), "abcdefg");
    EXPECT_EQ(tbl_count(t), 7);
}

TEST_F(Table, LargestKeyIsFoundAndRemovedBehindOthers)
{
    add(0xF0000000, 'a');
    add(0xFFFFFFFE, 'b');
    add(0xFFFFFFFF, 'c');
    EXPECT_EQ(find(0xFFFFFFFF), 'c');
    remove_key(0xFFFFFFFF);
    EXPECT_EQ(find(0xFFFFFFFF), '-');
    EXPECT_EQ(walk(), "ab");
}

TEST_F(Table, RemovalGoesByKeyAlone)
{
    add(9, 'A');
    item *other = make(9, 'B'); // never added
    tbl_remove(t, other);
    obj_release(other);
    EXPECT_EQ(walk(), "");
}

TEST_F(Table, EmptiedBucketIsRebuiltAndEmptyBucketsFindNothing)
{
    EXPECT_EQ(find(0), '-'); // only the pre-allocated empty first node
    remove_key(0);
    add(4, 'a');
    remove_key(4);
    EXPECT_EQ(t->heads[0], nullptr);
    EXPECT_EQ(find(4), '-');
    EXPECT_EQ(walk(), "");
    add(4, 'b');
    ASSERT_NE(t->heads[0], nullptr);
    EXPECT_EQ(find(4), 'b');
}

TEST(TableBuckets, TopBitsChooseTheBucket)
{
    tbl_table *one = tbl_create(0, item_key);
    tbl_table *sixteen = tbl_create(4, item_key);
    for (uint32_t k : {0u, 1u, 0xFFFFu, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_EQ(tbl_bucket_of(one, k), 0u);
    for (uint32_t k : {0u, 1u, 0xFFFFu})
        EXPECT_EQ(tbl_bucket_of(sixteen, k), 0u);
    EXPECT_EQ(tbl_bucket_of(sixteen, 0xFFFFFFFFu), 15u);
    EXPECT_EQ(tbl_bucket_of(sixteen, 0x80000000u), 8u);
    EXPECT_EQ(tbl_create(15, item_key), nullptr);

    // The one bucket of a 0-bit table holds every key, the highest ones included.
    for (auto [key, name] : {std::pair{0xFFFFFFFFu, 'c'}, {0u, 'a'}, {0x80000000u, 'b'}}) {
        item *i = make(key, name);
        ASSERT_EQ(tbl_add(one, i), 1);
        obj_release(i);
    }
    EXPECT_EQ(names_in_order(one), "abc");
    uint32_t top = 0xFFFFFFFFu;
    auto *found = static_cast<item *>(tbl_find(one, &top));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->name, 'c');
    tbl_remove(one, found);
    obj_release(found);
    EXPECT_EQ(tbl_count(one), 2);
    obj_release(one);
    obj_release(sixteen);
}

TEST_F(Table, IteratorOnEmptyTableAndRemovalsWithoutCurrent)
{
    tbl_iter *it = tbl_iter_create(t);
    tbl_iter_remove(it);
    EXPECT_EQ(tbl_iter_next(it), nullptr);
    EXPECT_EQ(tbl_iter_next(it), nullptr);
    tbl_iter_remove(it);
    obj_release(it);

    add(1, 'a');
    add(2, 'b');
    it = tbl_iter_create(t);
    tbl_iter_remove(it); // before any next: nothing
    auto *a = static_cast<item *>(tbl_iter_next(it));
    tbl_iter_remove(it);
    tbl_iter_remove(it); // second removal: nothing
    obj_release(a);
    auto *b = static_cast<item *>(tbl_iter_next(it));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->name, 'b');
    obj_release(b);
    EXPECT_EQ(tbl_iter_next(it), nullptr);
    tbl_iter_remove(it); // past the end: nothing, and no bucket out of range
    obj_release(it);
    EXPECT_EQ(walk(), "b");
    EXPECT_EQ(tbl_count(t), 1);
}

TEST_F(Table, RemovalThroughIteratorCrossesBuckets)
{
    // The last element of one bucket removed through the iterator must not take a node of
    // the next bucket with it.
    add(0x00000001, 'a');
    add(0x10000001, 'b');
    tbl_iter *it = tbl_iter_create(t);
    auto *a = static_cast<item *>(tbl_iter_next(it));
    auto *b = static_cast<item *>(tbl_iter_next(it));
    EXPECT_EQ(b->name, 'b');
    tbl_iter_remove(it);
    obj_release(a);
    obj_release(b);
    obj_release(it);
    EXPECT_EQ(walk(), "a");
}

TEST_F(Table, ForeachVisitorMayRemoveWhatItIsGiven)
{
    for (char c = 'a'; c <= 'h'; c++)
        add(uint32_t(c - 'a') * 3, c);
    struct ctx {
        tbl_table *t;
        std::string seen;
    } c{t, ""};
    tbl_foreach(
        t,
        [](void *e, void *u) {
            auto *x = static_cast<ctx *>(u);
            x->seen += static_cast<item *>(e)->name;
            tbl_remove(x->t, e);
        },
        &c);
    EXPECT_EQ(c.seen, "abcdefgh");
    EXPECT_EQ(tbl_count(t), 0);
}

TEST_F(Table, WalkFindsItsPlaceAfterChangesByOthers)
{
    for (uint32_t k = 10; k <= 50; k += 10)
        add(k, char('a' + k / 10 - 1)); // a..e
    tbl_iter *it = tbl_iter_create(t);
    auto *x = static_cast<item *>(tbl_iter_next(it)); // a (10)
    obj_release(x);
    x = static_cast<item *>(tbl_iter_next(it)); // b (20), next is c (30)
    obj_release(x);
    remove_key(30); // the iterator's next node goes away
    add(35, 'x');   // after the next key: handed out
    add(15, 'y');   // before: not handed out
    std::string rest;
    while ((x = static_cast<item *>(tbl_iter_next(it)))) {
        rest += x->name;
        obj_release(x);
    }
    obj_release(it);
    EXPECT_EQ(rest, "xde");
}

TEST_F(Table, DeadElementsAreRefusedAndDestroyReleasesEachOnce)
{
    // Bytes laid out like an object whose header no longer reads live.
    alignas(obj_header) unsigned char fake[sizeof(obj_header) + sizeof(item)] = {};
    EXPECT_EQ(tbl_add(t, fake + sizeof(obj_header)), 0);
    EXPECT_EQ(tbl_add(t, nullptr), 0);
    EXPECT_EQ(tbl_count(t), 0);

    destroyed = 0;
    tbl_table *u = tbl_create(4, item_key);
    for (uint32_t k = 0; k < 40; k++) {
        item *i = make(k * 0x07000001u, 'z');
        ASSERT_EQ(tbl_add(u, i), 1);
        obj_release(i); // the table holds the only reference now
    }
    EXPECT_EQ(tbl_count(u), 40);
    obj_release(u);
    EXPECT_EQ(destroyed, 40);
}

// A pick that first asks the probe its questions, then gives the element its key (or none).
struct picking {
    std::vector<uint32_t> questions;
    bool found;
    uint32_t key;
    std::string answers; // one '1' (taken) or '0' (free) per question

    explicit picking(std::vector<uint32_t> q = {}, bool f = true, uint32_t k = 0)
        : questions(std::move(q)), found(f), key(k)
    {
    }
};

int pick_cb(void *element, tbl_probe *probe, void *user, uint32_t *key)
{
    auto *p = static_cast<picking *>(user);
    for (uint32_t q : p->questions)
        p->answers += tbl_probe_taken(probe, q) ? '1' : '0';
    if (!p->found)
        return 0;
    static_cast<item *>(element)->key = p->key;
    *key = p->key;
    return 1;
}

TEST_F(Table, ProbeAnswersForItsBucketInAnyOrder)
{
    // A bucket that holds only its empty first node, and one that has no first node left.
    add(0x20000000, 'q');
    remove_key(0x20000000);
    for (uint32_t b : {0u, 2u}) {
        picking none({b << 28, b << 28 | 7}, false);
        item *i = make(0, 'z');
        EXPECT_EQ(tbl_add_picked(t, i, b, pick_cb, &none), -1);
        EXPECT_EQ(none.answers, "00") << "bucket " << b;
        obj_release(i);
    }

    add(3, 'a');
    add(5, 'b');
    add(5, 'c');
    add(9, 'd');
    add(0x10000005, 'e'); // bucket 1
    // Ascending runs resume where the last walk stopped; a smaller key starts over.
    picking p({5, 6, 9, 3, 10, 0, 4, 5, 2, 9, 0xFFFF, 0x10000005, 5}, true, 7);
    item *x = make(0, 'X');
    mine.push_back(x);
    ASSERT_EQ(tbl_add_picked(t, x, 0, pick_cb, &p), 1);
    EXPECT_EQ(p.answers, "1011000101001");
    EXPECT_EQ(walk(), "acbXde");
    EXPECT_EQ(find(7), 'X');
    EXPECT_EQ(tbl_count(t), 6);
}

TEST_F(Table, AddPickedFailsWithoutAChangeToTheTable)
{
    add(0, 'a');
    const struct {
        const char *what;
        uint32_t bucket;
        bool found;
        uint32_t key;
        int want;
    } cases[] = {
        {"no key", 0, false, 0, -1},
        {"a key outside the bucket", 0, true, 0x10000000, 0},
        {"no such bucket", 16, true, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        picking p({}, c.found, c.key);
        item *i = make(0, 'z');
        EXPECT_EQ(tbl_add_picked(t, i, c.bucket, pick_cb, &p), c.want);
        EXPECT_EQ(obj_refcount(i), 1) << "the table kept no reference";
        EXPECT_EQ(obj_refcount(t), 1);
        obj_release(i);
    }
    alignas(obj_header) unsigned char fake[sizeof(obj_header) + sizeof(item)] = {};
    picking p;
    EXPECT_EQ(tbl_add_picked(t, fake + sizeof(obj_header), 0, pick_cb, &p), 0);
    EXPECT_EQ(walk(), "a");
    EXPECT_EQ(tbl_count(t), 1);
}

TEST(TableDefaultKey, HashesLiveObjectsOnly)
{
    void *o = obj_alloc(12, nullptr);
    uint32_t k1 = tbl_key_of(nullptr, o, 0);
    EXPECT_EQ(k1, tbl_key_of(nullptr, o, 0));
    EXPECT_NE(k1, 0u);
    EXPECT_EQ(tbl_key_of(nullptr, nullptr, 0), 0u);
    alignas(obj_header) unsigned char plain[sizeof(obj_header) + 4] = {};
    EXPECT_EQ(tbl_key_of(nullptr, plain + sizeof(obj_header), 0), 0u); // wrong magic
    tbl_table *t = tbl_create(0, nullptr);
    ASSERT_EQ(tbl_add(t, o), 1);
    EXPECT_EQ(tbl_count(t), 1);
    obj_release(t);
    obj_release(o);
}

// Writers add and remove their own keys while readers walk; every walk stays ascending and
// sees every element that stayed in the table throughout.
TEST(TableConcurrency, WalksStayOrderedWhileOthersChangeTheTable)
{
    destroyed = 0;
    tbl_table *t = tbl_create(4, item_key);
    std::vector<item *> stable;
    for (uint32_t k = 0; k < 64; k++) {
        item *i = make(k * 0x04000000u + 2, 's');
        ASSERT_EQ(tbl_add(t, i), 1);
        stable.push_back(i);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (uint32_t w = 0; w < 3; w++)
        writers.emplace_back([&, w] {
            uint32_t n = 0;
            while (!stop) {
                uint32_t key = (n++ * 0x01000000u + w * 2 + 5) | 1;
                item *i = make(key, 'w');
                if (tbl_add(t, i))
                    tbl_remove(t, i);
                obj_release(i);
            }
        });
    for (int pass = 0; pass < 200; pass++) {
        tbl_iter *it = tbl_iter_create(t);
        uint32_t last = 0;
        int stable_seen = 0;
        while (auto *i = static_cast<item *>(tbl_iter_next(it))) {
            EXPECT_GE(i->key, last);
            last = i->key;
            stable_seen += i->name == 's';
            obj_release(i);
        }
        obj_release(it);
        EXPECT_EQ(stable_seen, 64);
    }
    stop = true;
    for (auto &w : writers)
        w.join();
    obj_release(t);
    for (item *i : stable)
        obj_release(i);
}

} // namespace
