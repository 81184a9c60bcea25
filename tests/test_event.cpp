#include "support/g_event.hpp"
#include "support/g_event_sem.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// A call on its own thread. If it is still blocked when the object goes
// away, `release` is run first so that the join cannot hang.
class async_call {
 public:
  async_call(std::function<int()> call, std::function<void()> release)
      : release_(std::move(release)), thread_([this, call] {
          result_.store(call());
          done_.store(true);
        }) {}
  ~async_call() {
    if (!done_.load() && release_) release_();
    thread_.join();
  }
  bool finished_within(int ms) const {
    const auto until = clock_type::now() + std::chrono::milliseconds(ms);
    while (!done_.load() && clock_type::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done_.load();
  }
  int result() const { return result_.load(); }
  pthread_t handle() { return thread_.native_handle(); }

 private:
  std::function<void()> release_;
  std::atomic<int> result_{-1000};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

template <typename E>
class EventTest : public ::testing::Test {};

using event_types = ::testing::Types<g_event, g_event_sem>;
TYPED_TEST_SUITE(EventTest, event_types);

TYPED_TEST(EventTest, NotInitialisedOrClosedAnswers43) {
  TypeParam ev;
  EXPECT_EQ(ev.signal(), 43);
  EXPECT_EQ(ev.reset(), 43);
  EXPECT_EQ(ev.wait(), 43);
  EXPECT_EQ(ev.wait_time(0), 43);
  EXPECT_EQ(ev.close(), 43);

  ASSERT_EQ(ev.init(false, true), 0);
  EXPECT_NE(ev.init(false, false), 0);  // a live event is not re-initialised
  EXPECT_EQ(ev.wait_time(0), 0);        // ... so it is still signalled
  EXPECT_EQ(ev.close(), 0);
  EXPECT_EQ(ev.close(), 43);
  EXPECT_EQ(ev.signal(), 43);
  EXPECT_EQ(ev.wait_time(0), 43);

  // Reusable after close.
  ASSERT_EQ(ev.init(false, false), 0);
  EXPECT_EQ(ev.wait_time(0), 110);
  EXPECT_EQ(ev.signal(), 0);
  EXPECT_EQ(ev.wait_time(0), 0);
}

TYPED_TEST(EventTest, AutoResetConsumesOneSignal) {
  TypeParam ev;
  ASSERT_EQ(ev.init(false, true), 0);
  EXPECT_EQ(ev.wait_time(0), 0);  // created signalled: taken once
  EXPECT_EQ(ev.wait_time(0), 110);
  ev.signal();
  ev.signal();
  ev.signal();
  EXPECT_EQ(ev.wait_time(0), 0);  // three signals, one wait
  const auto start = clock_type::now();
  EXPECT_EQ(ev.wait_time(150), 110);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
  EXPECT_GE(took, 140);
  EXPECT_LT(took, 2000);

  // A blocked wait passes at the next signal.
  async_call waiter([&] { return ev.wait(); }, [&] { ev.close(); });
  EXPECT_FALSE(waiter.finished_within(100));
  EXPECT_EQ(ev.signal(), 0);
  ASSERT_TRUE(waiter.finished_within(2000));
  EXPECT_EQ(waiter.result(), 0);
  EXPECT_EQ(ev.wait_time(0), 110);
}

TYPED_TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset) {
  TypeParam ev;
  ASSERT_EQ(ev.init(true, false), 0);
  std::vector<std::unique_ptr<async_call>> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.push_back(std::make_unique<async_call>([&] { return ev.wait(); }, [&] { ev.close(); }));
  EXPECT_FALSE(waiters[0]->finished_within(50));
  ASSERT_EQ(ev.signal(), 0);
  for (auto& w : waiters) {
    ASSERT_TRUE(w->finished_within(2000));
    EXPECT_EQ(w->result(), 0);
  }
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(ev.wait_time(0), 0);
  EXPECT_EQ(ev.reset(), 0);
  EXPECT_EQ(ev.wait_time(0), 110);
}

// close (or the destructor) runs while threads still wait; the object is
// freed right after, so the sanitizers show a waiter that touches it after
// it is gone.
TYPED_TEST(EventTest, CloseWakesWaitersAndLetsThemLeaveFirst) {
  for (int round = 0; round < 20; ++round) {
    auto ev = std::make_unique<TypeParam>();
    ASSERT_EQ(ev->init(false, false), 0);
    TypeParam* raw = ev.get();
    std::atomic<int> started{0};
    std::vector<std::unique_ptr<async_call>> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.push_back(std::make_unique<async_call>(
          [raw, &started, i] {
            started.fetch_add(1);
            return i == 0 ? raw->wait_time(20000) : raw->wait();
          },
          nullptr));
    }
    // A call must have begun before the object goes away; give the last
    // one a moment to get from the counter into the wait.
    while (started.load() < 3)
      std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + round % 3));
    if (round % 2) {
      EXPECT_EQ(ev->close(), 0);  // else the destructor closes
    }
    ev.reset();
    for (auto& w : waiters) {
      ASSERT_TRUE(w->finished_within(2000));
      EXPECT_EQ(w->result(), 43);
    }
  }
}

// Used as a lock (auto-reset, created signalled): wait takes it, signal
// gives it back; the unprotected counter must not lose an increment.
TYPED_TEST(EventTest, CreatedSignalledWorksAsALock) {
  TypeParam lock;
  ASSERT_EQ(lock.init(false, true), 0);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (lock.wait_time(10000) != 0) return;
        ++counter;
        lock.signal();
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(counter, 8000);
}

// Signals, waits and a close racing each other: every call answers one of
// its documented results, and nothing is used after destruction.
TYPED_TEST(EventTest, CloseRacingWithUse) {
  for (int round = 0; round < 10; ++round) {
    TypeParam ev;
    ASSERT_EQ(ev.init(false, false), 0);
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) {
          const int rc = (t == 0) ? ev.signal() : ev.wait_time(5);
          if (rc != 0 && rc != 110 && rc != 43) bad = true;
          if (rc == 43) return;
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(ev.close(), 0);
    for (auto& t : threads)
      t.join();
    EXPECT_FALSE(bad.load());
  }
}

void on_usr1(int) {}

TYPED_TEST(EventTest, InterruptedWaitKeepsWaiting) {
  struct sigaction sa = {};
  sa.sa_handler = on_usr1;  // no SA_RESTART: blocking calls see EINTR
  struct sigaction old = {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  TypeParam ev;
  ASSERT_EQ(ev.init(false, false), 0);
  async_call waiter([&] { return ev.wait(); }, [&] { ev.close(); });
  async_call timed([&] { return ev.wait_time(300); }, [&] { ev.close(); });
  const auto start = clock_type::now();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(waiter.handle(), SIGUSR1);
    pthread_kill(timed.handle(), SIGUSR1);
  }
  EXPECT_FALSE(waiter.finished_within(50));
  // The timed wait keeps its original deadline.
  ASSERT_TRUE(timed.finished_within(3000));
  EXPECT_EQ(timed.result(), 110);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count(), 290);
  ev.signal();
  ASSERT_TRUE(waiter.finished_within(2000));
  EXPECT_EQ(waiter.result(), 0);
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(EventDeadline, RoundsToTheMillisecondAndDoesNotWrap) {
  struct timespec a, b;
  g_event::deadline(1500, &a);
  EXPECT_EQ(a.tv_nsec % 1000000, 0);
  EXPECT_LT(a.tv_nsec, 1000000000);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  EXPECT_GE(a.tv_sec, now.tv_sec);
  // The longest time-out lies about 49.7 days ahead, not in the past.
  g_event::deadline(0xffffffffu, &b);
  EXPECT_GE(b.tv_sec - now.tv_sec, 4294966);
}

}  // namespace
