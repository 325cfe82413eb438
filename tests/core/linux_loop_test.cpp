// The shipped loop on GLib: ordering across threads, timers and serial queues.
#include "platform/loop.h"
#include "watch/core/emit.h"
#include "watch/core/process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <glib.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {
// Runs the main context until done() or the deadline.
template <class F> bool spinUntil(F done, double seconds = 5) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
} // namespace

TEST(LinuxLoop, MainJobsKeepEachPostersOrder) {
    constexpr int threads = 4, perThread = 2000;
    std::vector<int> last(threads, -1);
    std::atomic<int> ran{0};
    bool ordered = true;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                loop::onMain([&, t, i] {
                    ordered = ordered && last[t] == i - 1;
                    last[t] = i;
                    ++ran;
                });
        });
    for (auto& p : posters)
        p.join();
    ASSERT_TRUE(spinUntil([&] { return ran == threads * perThread; }));
    EXPECT_TRUE(ordered);
}

TEST(LinuxLoop, TimersFireCancelAndRepeat) {
    int once = 0, cancelled = 0, repeats = 0;
    loop::oneShot(0.01, [&] { ++once; });
    auto doomed = loop::oneShot(0.01, [&] { ++cancelled; });
    loop::cancel(doomed);
    loop::TimerRef every;
    every = loop::repeating(0.005, [&] {
        if (++repeats == 3) loop::cancel(every); // a timer may stop itself
    });
    ASSERT_TRUE(spinUntil([&] { return once == 1 && repeats == 3; }));
    spinUntil([] { return false; }, 0.1);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(repeats, 3);
    loop::cancel(doomed); // cancelling twice, or after firing, is harmless
    loop::cancel(nullptr);
}

TEST(LinuxLoop, SyncWaitsForEverythingHandedOverBefore) {
    loop::Queue* q = loop::makeSerialQueue("test.serial");
    std::vector<int> seen;
    for (int i = 0; i < 100; ++i)
        loop::async(q, [&seen, i] {
            if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            seen.push_back(i);
        });
    loop::sync(q, [] {});
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(LinuxLoop, UtilityJobsRunOffTheMainThread) {
    std::atomic<int> done{0};
    auto mainId = std::this_thread::get_id();
    std::atomic<bool> offMain{true};
    for (int i = 0; i < 8; ++i)
        loop::onUtility([&] {
            if (std::this_thread::get_id() == mainId) offMain = false;
            ++done;
        });
    ASSERT_TRUE(spinUntil([&] { return done == 8; }));
    EXPECT_TRUE(offMain);
}

// Jobs that wait for a turn (one engine, one file) must not hold back a job that waits for
// nothing: here four jobs wait for the fifth.
TEST(LinuxLoop, BlockedUtilityJobsDoNotHoldBackOthers) {
    // Shared, since the releasing job may still be notifying when the test returns.
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool released = false;
        std::atomic<int> finished{0};
    };
    auto gate = std::make_shared<Gate>();
    for (int i = 0; i < 4; ++i)
        loop::onUtility([gate] {
            std::unique_lock lock(gate->m);
            gate->cv.wait_for(lock, std::chrono::seconds(20), [&] { return gate->released; });
            if (gate->released) ++gate->finished;
        });
    loop::onUtility([gate] {
        {
            std::lock_guard lock(gate->m);
            gate->released = true;
        }
        gate->cv.notify_all();
    });
    EXPECT_TRUE(spinUntil([&] { return gate->finished == 4; }, 15));
}

// Threads go on emitting while finish runs: every line leaves whole, each thread's lines in its
// order, and "stopped" is the last line. Run in a child, since finish ends the process.
TEST(LinuxLoop, FinishWhileThreadsEmit) {
    // The child is a fresh run of this test program (other tests here leave threads behind,
    // and a sanitizer may not let a forked copy of a threaded process start threads); it names
    // the output file after its parent, this process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto outputOf = [](pid_t parent) { return "/tmp/finish-test-" + std::to_string(parent); };
    const std::string path = outputOf(::getpid());
    constexpr int threads = 4;
    EXPECT_EXIT(
        {
            const int fd =
                ::open(outputOf(::getppid()).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            std::fflush(stdout); // what the test program printed so far is not ours to count
            ::dup2(fd, STDOUT_FILENO);
            makeQueues();
            std::atomic<int> started{0};
            for (int t = 0; t < threads; ++t)
                std::thread([t, &started] {
                    for (int i = 0;; ++i) {
                        emit({{"kind", "n"},
                              {"thread", t},
                              {"i", i},
                              {"pad", std::string(200, 'x')}});
                        if (i == 100) ++started;
                    }
                }).detach();
            while (started < threads)
                std::this_thread::yield();
            finish();
        },
        ::testing::ExitedWithCode(0), "");
    std::ifstream in(path);
    std::vector<int> next(threads, 0);
    std::string line, last;
    int lines = 0;
    while (std::getline(in, line)) {
        ASSERT_NE(last, "stopped") << "a line after \"stopped\": " << line;
        json record = json::parse(line); // throws on a torn line
        last = record["kind"];
        ++lines;
        if (last != "n") continue;
        int t = record["thread"], i = record["i"];
        EXPECT_EQ(i, next[t]) << "thread " << t;
        next[t] = i + 1;
    }
    ::unlink(path.c_str());
    EXPECT_EQ(last, "stopped");
    EXPECT_GT(lines, threads * 100);
}
