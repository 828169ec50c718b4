#include "core/obj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

int destroyed;
void count_destroy(void *)
{
    destroyed++;
}

struct self_use {
    int lock, unlock, retain, release;
};
self_use seen;
void self_destroy(void *p)
{
    seen.lock = obj_lock(p);
    seen.unlock = obj_unlock(p);
    seen.retain = obj_retain(p);
    seen.release = obj_release(p);
}

TEST(Obj, NewObjectIsZeroedWithOneReference)
{
    auto *p = static_cast<unsigned char *>(obj_alloc(64, nullptr));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(obj_refcount(p), 1);
    EXPECT_EQ(obj_size(p), 64);
    EXPECT_EQ(obj_release(p), 0);

    void *empty = obj_alloc(0, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(obj_size(empty), 0);
    EXPECT_EQ(obj_refcount(empty), 1);
    EXPECT_EQ(obj_release(empty), 0);
}

TEST(Obj, LastReleaseDestroysOnce)
{
    destroyed = 0;
    void *p = obj_alloc(8, count_destroy);
    EXPECT_EQ(obj_retain(p), 2);
    EXPECT_EQ(obj_release(p), 1);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(obj_release(p), 0);
    EXPECT_EQ(destroyed, 1);
}

TEST(Obj, NullIsNotLive)
{
    EXPECT_EQ(obj_retain(nullptr), 0);
    EXPECT_EQ(obj_release(nullptr), -1);
    EXPECT_EQ(obj_refcount(nullptr), -1);
    EXPECT_EQ(obj_size(nullptr), 0);
    EXPECT_EQ(obj_lock(nullptr), 0);
    EXPECT_EQ(obj_unlock(nullptr), 0);
    EXPECT_EQ(obj_trylock(nullptr), -1);
    // A pointer too small to have a header in front of it.
    EXPECT_EQ(obj_retain(reinterpret_cast<void *>(8)), 0);
}

TEST(Obj, DestructorMayUseItsOwnObjectWithoutDeadlock)
{
    seen = {-9, -9, -9, -9};
    void *p = obj_alloc(4, self_destroy);
    obj_release(p);
    EXPECT_EQ(seen.lock, 0);
    EXPECT_EQ(seen.unlock, 0);
    EXPECT_EQ(seen.retain, 0);
    EXPECT_EQ(seen.release, -1);
}

TEST(Obj, TrylockFailsAtOnceWhileHeldElsewhere)
{
    void *p = obj_alloc(4, nullptr);
    ASSERT_EQ(obj_lock(p), 0);
    int r = 0;
    std::thread([&] { r = obj_trylock(p); }).join();
    EXPECT_EQ(r, -1);
    obj_unlock(p);
    EXPECT_EQ(obj_trylock(p), 0);
    obj_unlock(p);
    obj_release(p);
}

TEST(Obj, StrdupKeepsTheTerminator)
{
    char *s = obj_strdup("abc");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(obj_size(s), 4);
    obj_release(s);
}

TEST(Obj, SizesThatDoNotFitAreRefused)
{
    EXPECT_EQ(obj_alloc(-1, nullptr), nullptr);
    EXPECT_EQ(obj_alloc(INT32_MIN, nullptr), nullptr);
    EXPECT_EQ(obj_alloc(INT32_MAX, nullptr), nullptr);
    EXPECT_EQ(obj_alloc(INT32_MAX - int32_t(sizeof(obj_header)) + 1, nullptr), nullptr);
}

TEST(Obj, ConcurrentRetainAndReleaseKeepTheCount)
{
    destroyed = 0;
    void *p = obj_alloc(16, count_destroy);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; t++)
        ts.emplace_back([p] {
            for (int i = 0; i < 5000; i++) {
                obj_retain(p);
                obj_release(p);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(obj_refcount(p), 1);
    EXPECT_EQ(destroyed, 0);
    obj_release(p);
    EXPECT_EQ(destroyed, 1);
}

TEST(Obj, HandleAndGuardOwnWhatTheyShould)
{
    destroyed = 0;
    void *raw = obj_alloc(4, count_destroy);
    {
        auto a = obj_ref<void>::adopt(raw);
        auto b = obj_ref<void>::retain(raw);
        EXPECT_EQ(obj_refcount(raw), 2);
        auto c = b; // copy takes a reference of its own
        EXPECT_EQ(obj_refcount(raw), 3);
        auto d = std::move(c);
        EXPECT_EQ(obj_refcount(raw), 3);
        {
            obj_guard g(raw);
            int r = 0;
            std::thread([&] { r = obj_trylock(raw); }).join();
            EXPECT_EQ(r, -1);
        }
        EXPECT_EQ(obj_trylock(raw), 0);
        obj_unlock(raw);
        // Whether another thread finds the lock taken.
        auto held = [raw] {
            int r = 0;
            std::thread([&] {
                if ((r = obj_trylock(raw)) == 0)
                    obj_unlock(raw);
            }).join();
            return r != 0;
        };
        {
            obj_guard g(raw);
            g.unlock();
            EXPECT_FALSE(held()) << "let go before the scope's end";
            obj_lock(raw); // taken again, past the guard
            g.unlock();
        }
        EXPECT_TRUE(held()) << "a guard let go early lets go of nothing more";
        obj_unlock(raw);
    }
    EXPECT_EQ(destroyed, 1);
}

} // namespace
