// SPDX-License-Identifier: GPL-3.0-or-later
#include "thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/faults.h"

struct ThreadObject {
  std::thread thread;
};

namespace {

struct MessageQueue {
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<MSG> messages;  // guarded by lock
};

// Queues by thread id. A queue stays registered until its thread ends.
struct Registry {
  std::mutex lock;
  std::unordered_map<uint32_t, std::shared_ptr<MessageQueue>> queues;  // guarded by lock
};

Registry& Queues() {
  static Registry registry;
  return registry;
}

uint32_t NewThreadId() {
  static std::atomic<uint32_t> last{0};
  return last.fetch_add(1) + 1;
}

// The calling thread's id and queue; the queue is unregistered when the thread ends, so
// later posts to its id fail as they do for any unknown id.
struct CurrentThread {
  uint32_t id = 0;
  std::shared_ptr<MessageQueue> queue;

  ~CurrentThread() {
    if (queue == nullptr) return;
    std::lock_guard lock(Queues().lock);
    Queues().queues.erase(id);
  }
};

thread_local CurrentThread current;

// Stands for "the calling thread" wherever a handle is taken.
ThreadObject currentThreadPseudoHandle;

std::shared_ptr<MessageQueue> RegisterQueue(uint32_t id) {
  auto queue = std::make_shared<MessageQueue>();
  std::lock_guard lock(Queues().lock);
  Queues().queues.emplace(id, queue);
  return queue;
}

// The lowest nice value this process may take (RLIMIT_NICE allows 20 - limit).
int LowestNiceAllowed() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -20;
  return std::max(-20, 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
}

// On Linux the nice value belongs to the thread: who = 0 is the calling thread only.
bool SetNice(int nice) {
  if (setpriority(PRIO_PROCESS, 0, nice) == 0) return true;
  errno = 0;
  const int now = getpriority(PRIO_PROCESS, 0);
  if (errno != 0) return false;
  const int floor = std::max(nice, LowestNiceAllowed());
  return floor < now && setpriority(PRIO_PROCESS, 0, floor) == 0;
}

bool SetRealTime() {
  sched_param param{};
  // A middle priority: above desktop audio servers' defaults, below the kernel's own threads.
  param.sched_priority = std::min(50, sched_get_priority_max(SCHED_FIFO));
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0) return false;
  param.sched_priority = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, param.sched_priority));
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

struct ClassNice {
  uint32_t priorityClass;
  int nice;
};

// Ordered from the lowest nice value up.
constexpr ClassNice kClassNice[] = {
    {REALTIME_PRIORITY_CLASS, -20},    {HIGH_PRIORITY_CLASS, -10},
    {ABOVE_NORMAL_PRIORITY_CLASS, -5}, {NORMAL_PRIORITY_CLASS, 0},
    {BELOW_NORMAL_PRIORITY_CLASS, 5},  {IDLE_PRIORITY_CLASS, 19},
};

std::atomic<int32_t> timerRequests{0};

// What the calling thread's last GetPriorityClass read: the class it gave and the nice value
// it gave it for, so that the class set back is the value read, not the class's own.
struct ReadClass {
  uint32_t priorityClass = 0;
  int nice = 0;
};
thread_local ReadClass lastRead;

}  // namespace

HTHREAD CreateThread(uint32_t (*proc)(void*), void* param, uint32_t* threadId) {
  *threadId = 0;
  if (ServiceCallFails("CreateThread")) return nullptr;
  const uint32_t id = NewThreadId();
  // The queue is registered before anyone learns the id, so no post can miss it.
  std::shared_ptr<MessageQueue> queue = RegisterQueue(id);
  auto handle = std::make_unique<ThreadObject>();
  try {
    handle->thread = std::thread([proc, param, id, queue]() mutable {
      current.id = id;
      current.queue = std::move(queue);
      proc(param);
    });
  } catch (const std::system_error&) {
    std::lock_guard lock(Queues().lock);
    Queues().queues.erase(id);
    return nullptr;
  }
  *threadId = id;
  return handle.release();
}

void CloseHandle(HTHREAD thread) {
  thread->thread.join();
  delete thread;
}

uint32_t CreateMessageQueue() {
  const uint32_t id = GetCurrentThreadId();
  if (current.queue == nullptr) current.queue = RegisterQueue(id);
  return id;
}

uint32_t GetCurrentThreadId() {
  if (current.id == 0) current.id = NewThreadId();
  return current.id;
}

int PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  const MSG posted{message, wParam, lParam};
  return PostThreadMessages(threadId, &posted, 1);
}

int PostThreadMessages(uint32_t threadId, const MSG* messages, size_t count) {
  std::shared_ptr<MessageQueue> queue;
  {
    std::lock_guard lock(Queues().lock);
    const auto found = Queues().queues.find(threadId);
    if (found == Queues().queues.end()) return 0;
    queue = found->second;
  }
  {
    std::lock_guard lock(queue->lock);
    queue->messages.insert(queue->messages.end(), messages, messages + count);
  }
  queue->arrived.notify_one();
  return 1;
}

int32_t GetMessageA(MSG* msg) {
  MessageQueue* queue = current.queue.get();
  if (queue == nullptr) return -1;
  std::unique_lock lock(queue->lock);
  queue->arrived.wait(lock, [queue] { return !queue->messages.empty(); });
  *msg = queue->messages.front();
  queue->messages.pop_front();
  return msg->message == WM_QUIT ? 0 : 1;
}

HTHREAD GetCurrentThread() {
  return &currentThreadPseudoHandle;
}

int SetThreadPriority(HTHREAD /*thread*/, int32_t priority) {
  if (priority == THREAD_PRIORITY_TIME_CRITICAL) {
    return SetRealTime() || SetNice(-20) ? 1 : 0;
  }
  sched_param param{};
  if (pthread_setschedparam(pthread_self(), SCHED_OTHER, &param) != 0) return 0;
  return SetNice(0) ? 1 : 0;
}

uint32_t GetPriorityClass() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  if (errno != 0) return NORMAL_PRIORITY_CLASS;
  // The class whose nice value is nearest, ties going to the lower priority.
  const ClassNice* best = &kClassNice[0];
  for (const ClassNice& entry : kClassNice) {
    if (std::abs(entry.nice - nice) <= std::abs(best->nice - nice)) best = &entry;
  }
  lastRead = {best->priorityClass, nice};
  return best->priorityClass;
}

int SetPriorityClass(uint32_t priorityClass) {
  for (const ClassNice& entry : kClassNice) {
    if (entry.priorityClass != priorityClass) continue;
    // A class read back is the value it was read from: a process at nice 3 (below normal, whose
    // own value is 5) goes back to 3.
    return SetNice(priorityClass == lastRead.priorityClass ? lastRead.nice : entry.nice) ? 1 : 0;
  }
  return 0;
}

uint32_t timeBeginPeriod(uint32_t /*milliseconds*/) {
  timerRequests.fetch_add(1);
  return TIMERR_NOERROR;
}

uint32_t timeEndPeriod(uint32_t /*milliseconds*/) {
  timerRequests.fetch_sub(1);
  return TIMERR_NOERROR;
}

int32_t TimerResolutionRequests() {
  return timerRequests.load();
}
