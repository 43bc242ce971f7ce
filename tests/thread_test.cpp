// SPDX-License-Identifier: GPL-3.0-or-later
// Threads and their message queues: nothing posted is lost or reordered, the results of
// GetMessageA, priorities best effort, timer requests counted.
#include "platform/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/faults.h"

namespace {

constexpr uint32_t WM_USER = 0x0400;

// What a thread received, up to its WM_QUIT.
struct Received {
  std::vector<MSG> messages;
  int32_t lastResult = 0;
  MSG quit{};
};

uint32_t Receive(void* param) {
  auto* received = static_cast<Received*>(param);
  MSG message{};
  while ((received->lastResult = GetMessageA(&message)) == 1) {
    received->messages.push_back(message);
  }
  received->quit = message;
  return 0;
}

TEST(CreateThread, MessagesPostedAtOnceAreReceivedInOrderThenQuit) {
  Received received;
  uint32_t id = 0;
  HTHREAD thread = CreateThread(&Receive, &received, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_NE(id, 0u);
  // Nothing waits for the thread to start: its queue exists already.
  for (int i = 0; i < 100; ++i) {
    EXPECT_NE(PostThreadMessageA(id, WM_USER + 1, static_cast<uintptr_t>(i), -i), 0);
  }
  EXPECT_NE(PostThreadMessageA(id, WM_QUIT, 7, 8), 0);
  CloseHandle(thread);

  ASSERT_EQ(received.messages.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(received.messages[i].message, WM_USER + 1);
    EXPECT_EQ(received.messages[i].wParam, static_cast<uintptr_t>(i));
    EXPECT_EQ(received.messages[i].lParam, -i);
  }
  EXPECT_EQ(received.lastResult, 0);
  EXPECT_EQ(received.quit.message, WM_QUIT);
  EXPECT_EQ(received.quit.wParam, 7u);
  EXPECT_EQ(received.quit.lParam, 8);
}

TEST(CreateThread, GivesEveryThreadItsOwnIdAndQueue) {
  Received first, second;
  uint32_t firstId = 0, secondId = 0;
  HTHREAD a = CreateThread(&Receive, &first, &firstId);
  HTHREAD b = CreateThread(&Receive, &second, &secondId);
  EXPECT_NE(firstId, secondId);
  EXPECT_NE(firstId, GetCurrentThreadId());
  PostThreadMessageA(secondId, WM_USER, 2, 0);
  PostThreadMessageA(firstId, WM_USER, 1, 0);
  PostThreadMessageA(firstId, WM_QUIT, 0, 0);
  PostThreadMessageA(secondId, WM_QUIT, 0, 0);
  CloseHandle(a);
  CloseHandle(b);
  ASSERT_EQ(first.messages.size(), 1u);
  ASSERT_EQ(second.messages.size(), 1u);
  EXPECT_EQ(first.messages[0].wParam, 1u);
  EXPECT_EQ(second.messages[0].wParam, 2u);
}

TEST(CreateThread, InjectedFailureGivesNoThreadAndIdZero) {
  InjectServiceFault("CreateThread", 1);
  uint32_t id = 99;
  EXPECT_EQ(CreateThread(&Receive, nullptr, &id), nullptr);
  EXPECT_EQ(id, 0u);
  ClearServiceFaults();
}

TEST(PostThreadMessageA, FailsForUnknownAndEndedThreads) {
  EXPECT_EQ(PostThreadMessageA(0, WM_USER, 0, 0), 0);
  EXPECT_EQ(PostThreadMessageA(0xFFFFFFF0u, WM_USER, 0, 0), 0);

  Received received;
  uint32_t id = 0;
  HTHREAD thread = CreateThread(&Receive, &received, &id);
  PostThreadMessageA(id, WM_QUIT, 0, 0);
  CloseHandle(thread);
  // Its queue went with it; a second quit, as a failed start's teardown may post, is harmless.
  EXPECT_EQ(PostThreadMessageA(id, WM_QUIT, 0, 0), 0);
}

TEST(PostThreadMessageA, ManyProducersLoseNothingAndKeepEachOnesOrder) {
  constexpr int kProducers = 4;
  constexpr int kEach = 5000;
  Received received;
  uint32_t id = 0;
  HTHREAD consumer = CreateThread(&Receive, &received, &id);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([id, p] {
      for (int i = 0; i < kEach; ++i) PostThreadMessageA(id, WM_USER + p, i, 0);
    });
  }
  for (auto& producer : producers) producer.join();
  PostThreadMessageA(id, WM_QUIT, 0, 0);
  CloseHandle(consumer);

  ASSERT_EQ(received.messages.size(), static_cast<size_t>(kProducers * kEach));
  std::vector<uintptr_t> next(kProducers, 0);
  for (const MSG& message : received.messages) {
    const uint32_t producer = message.message - WM_USER;
    ASSERT_LT(producer, static_cast<uint32_t>(kProducers));
    ASSERT_EQ(message.wParam, next[producer]) << "producer " << producer << " reordered";
    ++next[producer];
  }
}

TEST(GetMessageA, FailsAtOnceOnAThreadWithoutQueue) {
  int32_t result = 0;
  std::thread([&result] {
    MSG message{};
    result = GetMessageA(&message);
  }).join();
  EXPECT_EQ(result, -1);
}

TEST(CreateMessageQueue, GivesAForeignThreadAQueueUnderItsOwnId) {
  std::atomic<uint32_t> id{0};
  std::atomic<bool> posted{false};
  std::vector<uintptr_t> got;
  std::thread foreign([&] {
    const uint32_t mine = CreateMessageQueue();
    EXPECT_EQ(CreateMessageQueue(), mine) << "a second call must keep the queue";
    EXPECT_EQ(GetCurrentThreadId(), mine);
    id = mine;
    id.notify_one();
    MSG message{};
    while (GetMessageA(&message) == 1) got.push_back(message.wParam);
  });
  id.wait(0);
  PostThreadMessageA(id, WM_USER, 5, 0);
  PostThreadMessageA(id, WM_QUIT, 0, 0);
  foreign.join();
  EXPECT_EQ(got, std::vector<uintptr_t>{5});
  EXPECT_EQ(PostThreadMessageA(id, WM_USER, 0, 0), 0) << "the queue outlived its thread";
}

TEST(CloseHandle, WaitsForTheThreadToReturn) {
  std::atomic<bool> done{false};
  uint32_t id = 0;
  HTHREAD thread = CreateThread(
      [](void* flag) -> uint32_t {
        MSG message{};
        GetMessageA(&message);
        static_cast<std::atomic<bool>*>(flag)->store(true);
        return 0;
      },
      &done, &id);
  PostThreadMessageA(id, WM_QUIT, 0, 0);
  CloseHandle(thread);
  EXPECT_TRUE(done.load());
}

int CurrentNice() {
  return getpriority(PRIO_PROCESS, 0);
}

int CurrentPolicy() {
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &policy, &param);
  return policy;
}

TEST(SetThreadPriority, TimeCriticalIsRealTimeOrALowerNiceValueAndNormalUndoesIt) {
  std::thread([] {
    const int niceBefore = CurrentNice();
    const int result = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    if (result != 0) {
      EXPECT_TRUE(CurrentPolicy() == SCHED_FIFO || CurrentNice() < niceBefore);
    } else {
      // Best effort: nothing was allowed, and nothing changed.
      EXPECT_EQ(CurrentPolicy(), SCHED_OTHER);
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(CurrentPolicy(), SCHED_OTHER);
  }).join();
}

TEST(PriorityClass, MapsNiceValuesToClassesBothWays) {
  std::thread([] {
    const uint32_t saved = GetPriorityClass();
    if (SetPriorityClass(HIGH_PRIORITY_CLASS) != 0) {
      EXPECT_EQ(GetPriorityClass(), HIGH_PRIORITY_CLASS);
      EXPECT_EQ(CurrentNice(), -10);
    }
    // Raising the nice value is always allowed.
    ASSERT_NE(SetPriorityClass(IDLE_PRIORITY_CLASS), 0);
    EXPECT_EQ(CurrentNice(), 19);
    EXPECT_EQ(GetPriorityClass(), IDLE_PRIORITY_CLASS);
    EXPECT_EQ(SetPriorityClass(0x12345), 0) << "not a class";
    EXPECT_EQ(GetPriorityClass(), IDLE_PRIORITY_CLASS);
    setpriority(PRIO_PROCESS, 0, 4);
    EXPECT_EQ(GetPriorityClass(), BELOW_NORMAL_PRIORITY_CLASS);
    SetPriorityClass(saved);
  }).join();
}

// As a front end saves the class before a start and sets it back after: the thread is at the
// nice value it had, not at its class's own (BELOW_NORMAL is 5).
TEST(PriorityClass, AClassSavedAndSetBackGivesBackTheValueItWasReadFrom) {
  std::thread([] {
    ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 3), 0);
    const uint32_t saved = GetPriorityClass();
    EXPECT_EQ(saved, BELOW_NORMAL_PRIORITY_CLASS);
    SetPriorityClass(HIGH_PRIORITY_CLASS);
    SetPriorityClass(saved);
    EXPECT_EQ(CurrentNice(), 3);
  }).join();
}

TEST(TimerResolution, CountsRequests) {
  const int32_t before = TimerResolutionRequests();
  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(TimerResolutionRequests(), before + 2);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(TimerResolutionRequests(), before);
}

}  // namespace
