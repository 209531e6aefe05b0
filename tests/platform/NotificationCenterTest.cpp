#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/Semaphore.h"
#include "platform/SerialQueue.h"
#include "platform/TaskTimer.h"
#include "support/QueueBarrier.h"

namespace {

using kx::Notification;
using kx::NotificationCenter;
using kx::Queue;
using kx::Semaphore;
using kx::SerialQueue;

constexpr const char* kSyncEnd = "com.zarvel.note.notification.sync-end";
constexpr const char* kNet = "com.zarvel.note.notification.net";

TEST(NotificationCenterTest, DefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

TEST(NotificationCenterTest, MatchesByNameAndObjectInAddOrder) {
  NotificationCenter center;
  int sender = 0;
  int otherSender = 0;
  std::vector<std::string> calls;
  auto recorder = [&](std::string who) {
    return [&, who](const Notification& n) { calls.push_back(who + ":" + n.name); };
  };
  center.addObserver(kSyncEnd, nullptr, nullptr, recorder("byName"));
  center.addObserver("", nullptr, nullptr, recorder("all"));
  center.addObserver(kSyncEnd, &sender, nullptr, recorder("byObject"));
  center.addObserver("", &otherSender, nullptr, recorder("allFromOther"));

  const struct {
    const char* name;
    const void* object;
    std::vector<std::string> expected;
  } cases[] = {
      {kSyncEnd, nullptr, {"byName:" + std::string(kSyncEnd), "all:" + std::string(kSyncEnd)}},
      {kSyncEnd,
       &sender,
       {"byName:" + std::string(kSyncEnd), "all:" + std::string(kSyncEnd),
        "byObject:" + std::string(kSyncEnd)}},
      {kNet, &otherSender, {"all:" + std::string(kNet), "allFromOther:" + std::string(kNet)}},
      {kNet, &sender, {"all:" + std::string(kNet)}},
  };
  for (const auto& c : cases) {
    calls.clear();
    center.post(c.name, c.object);
    EXPECT_EQ(calls, c.expected) << c.name << " object " << c.object;
  }
}

TEST(NotificationCenterTest, DeliversSynchronouslyWithUserInfo) {
  NotificationCenter center;
  int sender = 0;
  std::thread::id ranOn;
  Notification got;
  center.addObserver(kNet, nullptr, nullptr, [&](const Notification& n) {
    ranOn = std::this_thread::get_id();
    got = n;
  });
  center.post(kNet, &sender, kx::Value::dict({{"isConnection", true}}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(got.name, kNet);
  EXPECT_EQ(got.object, &sender);
  EXPECT_TRUE(got.userInfo["isConnection"].boolValue());
}

TEST(NotificationCenterTest, AddAndRemoveDuringDelivery) {
  NotificationCenter center;
  std::vector<std::string> calls;
  NotificationCenter::Token self = 0, later = 0, added = 0;
  self = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    calls.push_back("self");
    center.removeObserver(self);  // removing oneself returns at once
  });
  center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    calls.push_back("remover");
    center.removeObserver(later);
    if (!added) {
      added = center.addObserver("n", nullptr, nullptr,
                                 [&](const Notification&) { calls.push_back("added"); });
    }
  });
  later = center.addObserver("n", nullptr, nullptr,
                             [&](const Notification&) { calls.push_back("later"); });

  center.post("n");
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "remover"}));
  calls.clear();
  center.post("n");
  EXPECT_EQ(calls, (std::vector<std::string>{"remover", "added"}));
  center.removeObserver(12345);  // unknown tokens are ignored
  center.removeObserver(self);   // and so are tokens already removed
}

TEST(NotificationCenterTest, ReentrantPostFromCallback) {
  NotificationCenter center;
  std::vector<std::string> calls;
  center.addObserver("outer", nullptr, nullptr, [&](const Notification&) {
    calls.push_back("outer");
    center.post("inner");
    calls.push_back("outer-done");
  });
  center.addObserver("inner", nullptr, nullptr,
                     [&](const Notification&) { calls.push_back("inner"); });
  center.post("outer");
  EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "outer-done"}));
}

TEST(NotificationCenterTest, DeliversOnTheObserversQueue) {
  NotificationCenter center;
  SerialQueue queue("test.observer");
  Queue* seen = nullptr;
  std::vector<int> values;
  center.addObserver("n", nullptr, &queue, [&](const Notification& n) {
    seen = Queue::current();
    values.push_back(static_cast<int>(n.userInfo.intValue()));
  });
  for (int i = 0; i < 5; ++i) center.post("n", nullptr, kx::Value(i));
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  EXPECT_EQ(seen, &queue);
  EXPECT_EQ(values, (std::vector<int>{0, 1, 2, 3, 4}));

  // The main queue delivers only when pumped.
  kx::MainQueue& main = kx::MainQueue::shared();
  main.drain();
  bool onMain = false;
  center.addObserver("m", nullptr, &main, [&](const Notification&) { onMain = true; });
  std::thread poster([&] { center.post("m"); });
  poster.join();
  EXPECT_FALSE(onMain);
  main.drain();
  EXPECT_TRUE(onMain);
}

TEST(NotificationCenterTest, RemovedObserverSkipsDeliveriesAlreadyQueued) {
  NotificationCenter center;
  SerialQueue queue("test.observer");
  Semaphore gate;
  queue.async([&] { gate.wait(); });
  std::atomic<int> calls{0};
  auto token = center.addObserver("n", nullptr, &queue, [&](const Notification&) { ++calls; });
  center.post("n");
  center.post("n");
  center.removeObserver(token);
  gate.signal();
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  EXPECT_EQ(calls.load(), 0);
}

TEST(NotificationCenterTest, RemovalWaitsForCallbackOnAnotherThread) {
  NotificationCenter center;
  SerialQueue queue("test.observer");
  Semaphore entered;
  Semaphore gate;
  std::atomic<bool> callbackDone{false};
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> capturedWeak = captured;
  auto token = center.addObserver("n", nullptr, &queue, [&, captured](const Notification&) {
    entered.signal();
    gate.wait();
    callbackDone = true;
  });
  captured.reset();
  center.post("n");
  ASSERT_TRUE(entered.wait(10));

  std::atomic<bool> removed{false};
  bool doneWhenRemoved = false;
  std::thread remover([&] {
    center.removeObserver(token);
    doneWhenRemoved = callbackDone.load();
    removed = true;
  });
  EXPECT_FALSE(removed);
  gate.signal();
  remover.join();
  EXPECT_TRUE(doneWhenRemoved);
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  // The callback and what it captured are released with the observer.
  EXPECT_TRUE(capturedWeak.expired());
}

TEST(NotificationCenterTest, ExceptionInCallbackDoesNotStopOthers) {
  NotificationCenter center;
  std::vector<std::string> where;
  Queue::setExceptionHandler([&](const std::string& w, const std::string&) { where.push_back(w); });
  bool second = false;
  center.addObserver("n", nullptr, nullptr,
                     [](const Notification&) { throw std::runtime_error("observer failed"); });
  center.addObserver("n", nullptr, nullptr, [&](const Notification&) { second = true; });
  center.post("n");
  Queue::setExceptionHandler(nullptr);
  EXPECT_TRUE(second);
  EXPECT_EQ(where, (std::vector<std::string>{"n"}));
}

TEST(NotificationCenterTest, NoCallAfterRemovalUnderConcurrency) {
  NotificationCenter center;
  SerialQueue deliveries("test.deliveries");
  constexpr int kObservers = 40;
  struct Slot {
    std::atomic<bool> removed{false};
    std::atomic<int> calls{0};
    NotificationCenter::Token token = 0;
  };
  std::vector<std::unique_ptr<Slot>> slots;
  std::atomic<int> lateCalls{0};
  for (int i = 0; i < kObservers; ++i) {
    slots.push_back(std::make_unique<Slot>());
    Slot* slot = slots.back().get();
    slot->token = center.addObserver("n", nullptr, i % 2 ? &deliveries : nullptr,
                                     [slot, &lateCalls](const Notification&) {
                                       if (slot->removed) ++lateCalls;
                                       ++slot->calls;
                                     });
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      while (!stop) center.post("n");
    });
  }
  // Each observer is removed once it has been called. The deadline only keeps
  // an observer that is never called from hanging the test.
  const kx::TaskTimer::Clock::time_point deadline = kx::TaskTimer::deadlineAfter(10);
  bool neverCalled = false;
  for (auto& slot : slots) {
    while (slot->calls == 0 && !neverCalled) {
      neverCalled = kx::TaskTimer::Clock::now() >= deadline;
      std::this_thread::yield();
    }
    center.removeObserver(slot->token);
    slot->removed = true;
  }
  stop = true;
  for (auto& t : posters) t.join();
  ASSERT_FALSE(neverCalled) << "an observer was never called";
  ASSERT_TRUE(kxtest::waitForQueue(deliveries));
  EXPECT_EQ(lateCalls.load(), 0);
}

TEST(NotificationCenterTest, DestroyedCenterSkipsQueuedDeliveries) {
  SerialQueue queue("test.observer");
  Semaphore gate;
  queue.async([&] { gate.wait(); });
  std::atomic<int> calls{0};
  {
    NotificationCenter center;
    center.addObserver("n", nullptr, &queue, [&](const Notification&) { ++calls; });
    center.post("n");
  }
  gate.signal();
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
