// Threads with message queues, priorities and the timer resolution.
//
// Every thread that CreateThread makes has its message queue before its id is known to
// anyone, so nothing posted to it is lost. Other threads get a queue with
// CreateMessageQueue. All calls are thread-safe.
#pragma once

#include <cstdint>

struct ThreadObject;
using HTHREAD = ThreadObject*;

constexpr uint32_t WM_QUIT = 0x0012;

struct MSG {
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
};

// Starts `proc(param)` on a new thread at once and stores its id in *threadId.
// Returns null (and *threadId 0) when no thread could be made.
HTHREAD CreateThread(uint32_t (*proc)(void*), void* param, uint32_t* threadId);

// Waits until the thread has returned, then releases the handle. Null does nothing.
void CloseHandle(HTHREAD thread);

// Gives the calling thread a message queue (if it has none) and returns its id.
uint32_t CreateMessageQueue();
uint32_t GetCurrentThreadId();

// Non-zero when posted; 0 when no thread with that id has a queue.
int PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Waits for the next message of the calling thread's queue: 1 for a message, 0 for WM_QUIT,
// -1 when the calling thread has no queue.
int32_t GetMessageA(MSG* msg);

constexpr int32_t THREAD_PRIORITY_NORMAL = 0;
constexpr int32_t THREAD_PRIORITY_TIME_CRITICAL = 15;

// A pseudo-handle that stands for the calling thread.
HTHREAD GetCurrentThread();
// Sets the priority of `thread`, which must be GetCurrentThread(): TIME_CRITICAL asks for
// SCHED_FIFO where permitted, else the lowest nice value allowed. Non-zero on success;
// callers ignore it.
int SetThreadPriority(HTHREAD thread, int32_t priority);

constexpr uint32_t NORMAL_PRIORITY_CLASS = 0x20;
constexpr uint32_t HIGH_PRIORITY_CLASS = 0x80;

// The process's priority class (its nice value mapped to a class), and setting it best effort.
uint32_t GetPriorityClass();
int SetPriorityClass(uint32_t priorityClass);

// Timer resolution requests, counted: Linux timers are fine-grained already.
uint32_t timeBeginPeriod(uint32_t milliseconds);
uint32_t timeEndPeriod(uint32_t milliseconds);
// Requests not yet given back (for tests and diagnostics).
int32_t TimerResolutionRequests();
