#include "core/thr.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <unistd.h>

// The runtime is one per process and cannot start again once it has finished, so every case
// that stops it runs in a child process of its own.

namespace
{

using namespace std::chrono;

struct counter {
    std::atomic<int> body{0}, exits{0}, done{0};
    std::atomic<int> saw_run{-1};
    std::atomic<steady_clock::rep> last_exit{0};
};

counter *arg_counter(void *arg)
{
    return *static_cast<counter **>(arg);
}

// An argument object that points at a counter.
void *counter_arg(counter *c)
{
    auto **p = static_cast<counter **>(obj_alloc(sizeof(counter *), nullptr));
    *p = c;
    return p;
}

long body_returns(void *arg)
{
    counter *c = arg_counter(arg);
    c->saw_run = thr_should_run();
    c->body++;
    return 0;
}

long body_polls(void *arg)
{
    counter *c = arg_counter(arg);
    c->body++;
    while (thr_should_run())
        usleep(5000);
    c->done++;
    return 0;
}

long body_sleeps_cancellable(void *arg)
{
    arg_counter(arg)->body++;
    for (;;)
        pause();
    arg_counter(arg)->done++;
    return 0;
}

long body_ignores_stop(void *arg)
{
    arg_counter(arg)->body++;
    usleep(1500 * 1000);
    arg_counter(arg)->done++;
    return 0;
}

void count_exit(void *arg)
{
    counter *c = arg_counter(arg);
    c->last_exit = steady_clock::now().time_since_epoch().count();
    c->exits++;
}

// A stop that never returns must fail the case, not hang the suite.
void watchdog()
{
    alarm(30);
}

bool wait_for(const std::atomic<int> &v, int want)
{
    return wait_until([&] { return v.load() == want; });
}

struct Thr : ::testing::Test {
    // Earlier cases leave threads behind, so a death test re-executes the binary, unless the
    // run chose a style (a cross run under emulation, where re-executing is not possible).
    void SetUp() override
    {
        if (!getenv("GTEST_DEATH_TEST_STYLE"))
            GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(Thr, MainThreadIsNotRegistered)
{
    EXPECT_EQ(thr_should_run(), 0);
    EXPECT_EQ(thr_self(), nullptr);
    EXPECT_EQ(thr_dispatch_signal(SIGTERM), 0);
}

TEST_F(Thr, BodyRunsOnceAndExitRoutineRunsOnce)
{
    counter c;
    void *arg = counter_arg(&c);
    EXPECT_EQ(thr_start(body_returns, count_exit, nullptr, arg, 0), nullptr); // no record asked
    ASSERT_TRUE(wait_for(c.exits, 1));
    EXPECT_EQ(c.body, 1);
    EXPECT_EQ(c.saw_run, int(THR_RUN));
    // The record lets go of its argument after the exit routine has run.
    ASSERT_TRUE(wait_until([&] { return obj_refcount(arg) == 1; }));
    EXPECT_EQ(c.exits, 1);
    obj_release(arg);
}

TEST_F(Thr, ReturnedRecordIsRegisteredUntilTheBodyEnds)
{
    counter c;
    void *arg = counter_arg(&c);
    thr_record *rec = thr_start(body_polls, count_exit, nullptr, arg, THR_RETURN_RECORD);
    ASSERT_NE(rec, nullptr);
    ASSERT_TRUE(wait_for(c.body, 1));
    {
        obj_guard g(rec);
        EXPECT_TRUE(rec->flags & THR_RUN);
        EXPECT_EQ(rec->flags >> 16, THR_RETURN_RECORD);
    }
    thr_stop(rec);
    ASSERT_TRUE(wait_for(c.exits, 1));
    EXPECT_EQ(c.done, 1);
    {
        obj_guard g(rec);
        EXPECT_EQ(rec->flags & (THR_RUN | THR_DONE), THR_DONE);
    }
    obj_release(rec);
    obj_release(arg);
}

TEST_F(Thr, NullBodyIsRefused)
{
    EXPECT_EQ(thr_start(nullptr, nullptr, nullptr, nullptr, THR_RETURN_RECORD), nullptr);
}

TEST_F(Thr, CancelledBodyStillRunsItsExitRoutine)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer loses track of a thread cancelled in a blocking call";
#endif
    counter c;
    void *arg = counter_arg(&c);
    thr_record *rec = thr_start(body_sleeps_cancellable, count_exit, nullptr, arg,
                                THR_CANCELLABLE | THR_RETURN_RECORD);
    ASSERT_NE(rec, nullptr);
    ASSERT_TRUE(wait_for(c.body, 1));
    thr_stop(rec);
    ASSERT_TRUE(wait_for(c.exits, 1));
    EXPECT_EQ(c.done, 0);
    usleep(20000);
    EXPECT_EQ(c.exits, 1);
    obj_release(rec);
    obj_release(arg);
}

// The new thread waits however long thr_start takes to settle its start, and a stop that
// comes before the thread first looks must not strand it: neither one that clears THR_RUN nor
// one that cancels the waiting thread. Its body runs (and sees the stop), its exit routine
// runs once, and it lets go of its record.
TEST_F(Thr, NewThreadWaitsUntilItsStartIsSettled)
{
    struct {
        uint32_t answer;
        bool cancelled; // a cancellable thread, cancelled while it waits
        int body, exits;
    } const cases[] = {
        {THR_REGISTERED | THR_RUN, false, 1, 1},
        {THR_REGISTERED, false, 1, 1}, // a stop-all came between registration and first look
        {THR_REGISTERED | THR_RUN, true, 1, 1},
        {THR_ABORT, false, 0, 0}, // never registered
    };
    for (const auto &c : cases) {
        counter n;
        void *arg = counter_arg(&n);
        auto *rec = static_cast<thr_record *>(obj_alloc(sizeof(thr_record), thr_record_destroy));
        ASSERT_NE(rec, nullptr);
        rec->arg = obj_retain(arg) > 0 ? arg : nullptr;
        rec->body = body_returns;
        rec->exit_fn = count_exit;
        rec->flags = c.cancelled ? THR_CANCELLABLE << 16 : 0;
        obj_retain(rec); // the thread's own reference
        pthread_t t;
        ASSERT_EQ(pthread_create(&t, nullptr, thr_main, rec), 0);
        if (c.cancelled)
            pthread_cancel(t);
        usleep(200000); // longer than any patience a waiting thread might have
        EXPECT_EQ(n.body, 0);
        {
            obj_guard g(rec);
            rec->flags |= c.answer;
        }
        timespec limit;
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_sec += 5;
        if (pthread_timedjoin_np(t, nullptr, &limit) != 0) {
            ADD_FAILURE() << "thread still waiting after 0x" << std::hex << c.answer;
            {
                obj_guard g(rec);
                rec->flags |= THR_ABORT;
            }
            pthread_join(t, nullptr);
        }
        EXPECT_EQ(n.body, c.body) << std::hex << c.answer;
        EXPECT_EQ(n.exits, c.exits) << std::hex << c.answer;
        EXPECT_EQ(obj_refcount(rec), 1) << std::hex << c.answer;
        obj_release(rec);
        EXPECT_EQ(obj_refcount(arg), 1);
        obj_release(arg);
    }
}

TEST_F(Thr, JoinableThreadGivesItsExitValue)
{
    thr_record *rec = thr_start([](void *) -> long { return 42; }, nullptr, nullptr, nullptr,
                                THR_JOINABLE | THR_RETURN_RECORD);
    ASSERT_NE(rec, nullptr);
    void *value = nullptr;
    EXPECT_EQ(thr_join(rec, &value), 0);
    EXPECT_EQ(reinterpret_cast<long>(value), 42);
    EXPECT_EQ(thr_join(nullptr, nullptr), 0);
    obj_release(rec);
}

// The six signals a registered thread answers go to its signal routine; others get 0.
TEST_F(Thr, SignalDispatch)
{
    static std::atomic<int> routed{0};
    static int answers[2][8];
    static constexpr int signals[8] = {SIGHUP, SIGINT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, 5, 16};
    const int with_routine[8] = {1, 1, 1, 1, 1, 1, 0, 0};
    const int without[8] = {-1, -1, -1, -1, -1, -1, 0, 0};
    auto body = [](void *arg) -> long {
        for (int i = 0; i < 8; i++)
            answers[arg != nullptr][i] = thr_dispatch_signal(signals[i]);
        return 0;
    };
    auto routine = [](int signo, void *) -> int {
        routed += signo;
        return 0;
    };
    void *some_arg = obj_alloc(1, nullptr);
    thr_record *bare = thr_start(body, nullptr, nullptr, nullptr, THR_JOINABLE | THR_RETURN_RECORD);
    thr_record *handled =
        thr_start(body, nullptr, routine, some_arg, THR_JOINABLE | THR_RETURN_RECORD);
    ASSERT_NE(bare, nullptr);
    ASSERT_NE(handled, nullptr);
    thr_join(bare, nullptr);
    thr_join(handled, nullptr);
    obj_release(bare);
    obj_release(handled);
    obj_release(some_arg);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(answers[0][i], without[i]) << signals[i];
        EXPECT_EQ(answers[1][i], with_routine[i]) << signals[i];
    }
    EXPECT_EQ(routed, SIGHUP + SIGINT + SIGUSR1 + SIGUSR2 + SIGALRM + SIGTERM);
}

// The supervisor's signal routine asks the calling thread to stop on a hang-up.
TEST_F(Thr, HangUpClearsTheCallersRun)
{
    static std::atomic<int> answer{9}, after{9};
    thr_record *rec = thr_start(
        [](void *) -> long {
            answer = thr_supervisor_signal_cb(SIGHUP, nullptr);
            after = thr_should_run();
            return 0;
        },
        nullptr, nullptr, nullptr, THR_JOINABLE | THR_RETURN_RECORD);
    ASSERT_NE(rec, nullptr);
    thr_join(rec, nullptr);
    obj_release(rec);
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(after, 0);
    EXPECT_EQ(thr_supervisor_signal_cb(SIGHUP, nullptr), 0); // the main thread is not registered
}

TEST_F(Thr, StopAllEndsPollingThreadsThenRefusesStarts)
{
    EXPECT_EXIT(
        {
            watchdog();
            counter c;
            void *arg = counter_arg(&c);
            for (int i = 0; i < 3; i++)
                (void)thr_start(body_polls, count_exit, nullptr, arg, 0);
            if (!wait_for(c.body, 3))
                die_because("the three polling threads did not all start");
            thr_runtime_stop(1);
            auto returned = steady_clock::now();
            // The exit routine runs after the record has left the registry.
            if (c.done != 3 || !wait_for(c.exits, 3))
                die_because("the stop returned before every thread ended, or an exit routine "
                            "did not run");
            // The supervisor polls once a second: it ends within about a second of the last
            // thread (the bound leaves room for a loaded machine).
            if (returned - steady_clock::time_point(steady_clock::duration(c.last_exit)) >
                milliseconds(2000))
                die_because("the stop returned more than 2 s after the last thread ended");
            if (thr_start(body_returns, nullptr, nullptr, arg, THR_RETURN_RECORD))
                die_because("a thread started after the stop");
            if (thr_runtime_init() != 0 || thr_should_run() != 0)
                die_because("the runtime did not start again after the stop");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Thr, StopWithoutWaitReturnsAtOnce)
{
    EXPECT_EXIT(
        {
            watchdog();
            counter c;
            void *arg = counter_arg(&c);
            (void)thr_start(body_polls, count_exit, nullptr, arg, 0);
            if (!wait_for(c.body, 1))
                die_because("the polling thread did not start");
            auto t0 = steady_clock::now();
            thr_runtime_stop(0);
            if (steady_clock::now() - t0 > milliseconds(200))
                die_because("the stop without waiting took more than 200 ms");
            if (!wait_for(c.exits, 1))
                die_because("the exit routine did not run");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Thr, StopWaitsForAThreadThatNeverPolls)
{
    EXPECT_EXIT(
        {
            watchdog();
            counter c;
            void *arg = counter_arg(&c);
            (void)thr_start(body_ignores_stop, count_exit, nullptr, arg, 0);
            if (!wait_for(c.body, 1))
                die_because("the thread did not start");
            thr_runtime_stop(1);
            check_or_die(c.done == 1 && wait_for(c.exits, 1),
                         "the stop returned before the thread ended, or its exit routine did not "
                         "run");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Thr, WaitLetsThreadsFinishByThemselves)
{
    EXPECT_EXIT(
        {
            watchdog();
            counter c;
            void *arg = counter_arg(&c);
            (void)thr_start(body_ignores_stop, count_exit, nullptr, arg, 0);
            if (!wait_for(c.body, 1))
                die_because("the thread did not start");
            thr_runtime_wait();
            check_or_die(c.done == 1 && wait_for(c.exits, 1),
                         "the wait returned before the thread ended, or its exit routine did not "
                         "run");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Many starts racing a stop-all: every thread either ran to its exit routine or never ran;
// no record is left behind, so the waiting stop returns.
TEST_F(Thr, StartsRacingAStopLeaveNoRecordBehind)
{
    EXPECT_EXIT(
        {
            watchdog();
            counter c;
            void *arg = counter_arg(&c);
            std::atomic<bool> go{true};
            std::thread starter([&] {
                while (go)
                    (void)thr_start(body_polls, count_exit, nullptr, arg, 0);
            });
            for (int i = 0; i < 200 && c.body < 50; i++)
                usleep(5000);
            thr_runtime_stop(1);
            go = false;
            starter.join();
            if (c.body != c.done || c.body == 0 || !wait_for(c.exits, c.body))
                die_because("no thread ran, or one that ran did not end or reach its exit "
                            "routine");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
