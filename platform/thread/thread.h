// SPDX-License-Identifier: GPL-3.0-or-later
// Threads with message queues, priorities and the timer resolution.
//
// Every thread that CreateThread makes has its message queue before its id is known to
// anyone, so nothing posted to it is lost. Other threads get a queue with
// CreateMessageQueue. All calls are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

struct ThreadObject;
using HTHREAD = ThreadObject*;

constexpr uint32_t WM_QUIT = 0x0012;

struct MSG {
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
};

// Starts `proc(param)` on a new thread at once and stores its id in *threadId. The thread's
// message queue exists before this returns, so messages may be posted to it at once; it goes
// away when the thread ends. Returns null (and *threadId 0) when no thread could be made
// (failures can be injected as "CreateThread").
HTHREAD CreateThread(uint32_t (*proc)(void*), void* param, uint32_t* threadId);

// Waits until the thread has returned, then releases the handle (one CreateThread gave). Not
// from the thread itself.
void CloseHandle(HTHREAD thread);

// Gives the calling thread a message queue (if it has none) and returns its id. For threads
// not made by CreateThread (the front ends' threads); the queue lasts until the thread ends.
uint32_t CreateMessageQueue();
// The calling thread's id (never 0), whether or not it has a queue.
uint32_t GetCurrentThreadId();

// Appends a message to the queue of thread `threadId` and wakes it; never blocks for long.
// Non-zero when posted; 0 when no thread with that id has a queue (unknown or ended).
int PostThreadMessageA(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Posts `count` messages as one: appended in order, and the thread woken once for them all.
int PostThreadMessages(uint32_t threadId, const MSG* messages, size_t count);

// Waits (blocking, no polling) for the next message of the calling thread's queue, in the
// order posted: 1 for a message, 0 for WM_QUIT (also stored in *msg), -1 at once when the
// calling thread has no queue.
int32_t GetMessageA(MSG* msg);

constexpr int32_t THREAD_PRIORITY_NORMAL = 0;
constexpr int32_t THREAD_PRIORITY_TIME_CRITICAL = 15;

// A pseudo-handle that stands for the calling thread.
HTHREAD GetCurrentThread();
// Sets the priority of `thread`, which is GetCurrentThread(): TIME_CRITICAL asks for
// SCHED_FIFO where permitted, else the lowest nice value allowed; NORMAL (the only other
// priority taken) gives back SCHED_OTHER at nice 0. Non-zero on success (also a partial one);
// callers ignore it.
int SetThreadPriority(HTHREAD thread, int32_t priority);

constexpr uint32_t NORMAL_PRIORITY_CLASS = 0x20;
constexpr uint32_t IDLE_PRIORITY_CLASS = 0x40;
constexpr uint32_t HIGH_PRIORITY_CLASS = 0x80;
constexpr uint32_t REALTIME_PRIORITY_CLASS = 0x100;
constexpr uint32_t BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
constexpr uint32_t ABOVE_NORMAL_PRIORITY_CLASS = 0x8000;

// The priority class as a nice value: IDLE 19, BELOW_NORMAL 5, NORMAL 0, ABOVE_NORMAL -5,
// HIGH -10, REALTIME -20. Linux keeps the nice value per thread, so both act on the calling
// thread, and threads it creates afterwards inherit the value. GetPriorityClass gives the
// class nearest the current value; SetPriorityClass of the class that the thread's last
// GetPriorityClass gave sets back the exact value that class was read from (a class saved and
// restored leaves a thread at nice 3 at 3), of any other class that class's value. It is best
// effort (a value the process may not take gives the lowest it may), non-zero on success, and
// callers ignore it.
uint32_t GetPriorityClass();
int SetPriorityClass(uint32_t priorityClass);

constexpr uint32_t TIMERR_NOERROR = 0;

// Timer resolution requests (of 1 ms or more), counted: Linux timers are fine-grained already.
// Each end matches an earlier begin.
uint32_t timeBeginPeriod(uint32_t milliseconds);
uint32_t timeEndPeriod(uint32_t milliseconds);
// Requests not yet given back (for tests and diagnostics).
int32_t TimerResolutionRequests();
