// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server's devices (PulseAudio, or PipeWire's PulseAudio service) through libpulse's
// asynchronous API. Built as the module rtplayer-pulse.so, so a process that never lists or
// opens a device never maps libpulse and its dependencies.
//
// One connection serves the process: a threaded main loop and a context, made at first need
// and made again after the server has gone or stopped answering. Its lock is held exactly
// around calls into the library; callbacks run on the loop's thread with the lock held, and the
// other threads wait for answers on pa_threaded_mainloop_wait, never longer than a bound.
//
// Each device is a playback stream. It is given what the queue has as the writer writes it
// (a pair written back wakes the loop's thread once), so the server holds the ring's worth of
// audio, and it asks for a sink latency of about one device buffer. What has been heard is
// the server's to say, from the timing information the stream asks for (every two seconds,
// and when the server reports a start, an underflow or a drain):
//  - while data waits in the server, the last report, carried on at the real-time rate while
//    it says the stream plays, tells how much of what was taken is still unplayed, and a timer
//    wakes the loop when the next buffers will have played (two at a time where it can);
//  - once the server reports that it has passed on everything written, what the sink still
//    holds plays within the sink's latency of that report: the time is fixed then, once, and
//    later reports do not move it.
// The last buffer out, with nothing behind it, comes back only that way. PipeWire keeps the
// last part of a stream, shorter than its period, until more comes or the stream is drained,
// so the stream is drained whenever the writer has nothing more to give. Nothing polls: the
// loop wakes for the server's messages, for a write the writer hands on, and for a timer set
// to a computed time.
//
// A server that stops answering while a stream plays fails the queue: the timing information
// must come back within a bound of being asked for, and the last buffer out must be reported
// played within a bound of the time it should have played.
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/module_diagnostics.h"
#include "platform/unique_fd.h"
#include "waveout_backend.h"

namespace {

const ModuleHost* host = nullptr;  // set once, before any other entry is called

// One diagnostics line, with the library's reason for `error` (a PA_ERR_ code).
void DiagnoseError(const char* what, int error) {
  ModuleDiagnose(host, "pulse", "%s: %s", what, pa_strerror(error));
}

constexpr pa_usec_t kMs = PA_USEC_PER_MSEC;
constexpr pa_usec_t kConnectBound = 1000 * kMs;  // a server that took the connection
constexpr pa_usec_t kAnswerBound = 2000 * kMs;   // a stream's start, a listing, a timing update
// What the stream asks for: the server's latency in all (the sink's part, about one device
// buffer, is what ADJUST_LATENCY leaves of it less two requests), and requests as large as
// that allows, so the server's requests wake the loop every two seconds. The ring holds
// 500 ms, so the server never has all it asks for.
constexpr pa_usec_t kTargetAudio = 4250 * kMs;
constexpr pa_usec_t kRequestAudio = 2000 * kMs;
// Buffers go back once at most this much is still unplayed (two of the ring's four). A write
// is handed on at once when less than the urgent amount would be left in the server beyond
// what its sink has already taken (the sink's latency) by the time the loop looks again.
constexpr pa_usec_t kReturnBelow = 250 * kMs;
constexpr pa_usec_t kUrgentBelow = 100 * kMs;
// How often a stream with audio out asks its server for timing information, and how late a
// timer may fire before the loop counts itself stalled (a stopped process) rather than the
// server silent.
constexpr pa_usec_t kTimingAge = 2000 * kMs;
constexpr pa_usec_t kStalled = 250 * kMs;

std::atomic<bool> opensCancelled{false};

struct Connection {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  // Set when the server failed to answer in time: the next user connects anew.
  std::atomic<bool> broken{false};

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    // The loop's thread is stopped first, so nothing else uses the context.
    if (loop != nullptr) pa_threaded_mainloop_stop(loop);
    if (context != nullptr) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    if (loop != nullptr) pa_threaded_mainloop_free(loop);
  }
};

class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

void Signal(pa_threaded_mainloop* loop) {
  pa_threaded_mainloop_signal(loop, 0);
}

// The connections some thread is waiting on, so a cancel can wake them. Never locked while a
// loop's lock is taken after it.
std::mutex waitersLock;
std::vector<std::shared_ptr<Connection>>& Waiters() {
  static auto* waiters = new std::vector<std::shared_ptr<Connection>>;
  return *waiters;
}

struct Deadline {
  pa_threaded_mainloop* loop;
  bool passed = false;
};

void OnDeadline(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*when*/,
                void* deadline) {
  static_cast<Deadline*>(deadline)->passed = true;
  Signal(static_cast<Deadline*>(deadline)->loop);
}

enum class Waited { kDone, kTimedOut, kCancelled };

// The loop's lock held: waits until done() holds, `bound` has passed, or the opens are
// cancelled. done() is asked after every signal of the loop.
template <typename Done>
Waited WaitFor(const std::shared_ptr<Connection>& connection, pa_usec_t bound, Done done) {
  {
    std::lock_guard lock(waitersLock);
    Waiters().push_back(connection);
  }
  Deadline deadline{connection->loop};
  pa_time_event* timer =
      pa_context_rttime_new(connection->context, pa_rtclock_now() + bound, &OnDeadline, &deadline);
  Waited result = Waited::kDone;
  while (!done()) {
    if (opensCancelled.load()) {
      result = Waited::kCancelled;
      break;
    }
    if (deadline.passed || timer == nullptr) {
      result = Waited::kTimedOut;
      break;
    }
    pa_threaded_mainloop_wait(connection->loop);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(connection->loop)->time_free(timer);
  std::lock_guard lock(waitersLock);
  auto& waiters = Waiters();
  waiters.erase(std::find(waiters.begin(), waiters.end(), connection));
  return result;
}

void CancelOpens() {
  opensCancelled.store(true);
  std::vector<std::shared_ptr<Connection>> waiting;
  {
    std::lock_guard lock(waitersLock);
    waiting = Waiters();
  }
  for (const auto& connection : waiting) {
    LoopLock lock(connection->loop);
    Signal(connection->loop);
  }
}

void OnContextState(pa_context* /*context*/, void* loop) {
  Signal(static_cast<pa_threaded_mainloop*>(loop));
}

// The loop's thread takes no signal: the program's own handling of them stays as it is.
bool StartLoopWithoutSignals(pa_threaded_mainloop* loop) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const bool started = pa_threaded_mainloop_start(loop) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

// A new connection to the server; null with *reach saying why when there is none. A refused
// connection fails at once; a server that takes it and keeps silent, after kConnectBound.
std::shared_ptr<Connection> Connect(WaveOutReach* reach) {
  *reach = WaveOutReach::kAbsent;
  auto connection = std::make_shared<Connection>();
  connection->loop = pa_threaded_mainloop_new();
  if (connection->loop == nullptr) return nullptr;
  pa_threaded_mainloop_set_name(connection->loop, "rtplayer-pulse");
  connection->context = pa_context_new(pa_threaded_mainloop_get_api(connection->loop), "rtplayer");
  if (connection->context == nullptr) return nullptr;
  pa_context_set_state_callback(connection->context, &OnContextState, connection->loop);
  // A player starts no server of its own.
  if (pa_context_connect(connection->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    DiagnoseError("no server", pa_context_errno(connection->context));
    return nullptr;
  }
  if (!StartLoopWithoutSignals(connection->loop)) return nullptr;

  LoopLock lock(connection->loop);
  pa_context* context = connection->context;
  const Waited waited = WaitFor(connection, kConnectBound, [context] {
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
           pa_context_get_state(context) == PA_CONTEXT_READY;
  });
  pa_context_set_state_callback(connection->context, nullptr, nullptr);
  if (pa_context_get_state(connection->context) == PA_CONTEXT_READY) {
    *reach = WaveOutReach::kServing;
    ModuleDiagnose(host, "pulse", "connected to %s (protocol %u)",
                   pa_context_get_server(connection->context),
                   pa_context_get_server_protocol_version(connection->context));
    return connection;
  }
  if (waited != Waited::kDone) {
    *reach = WaveOutReach::kUnresponsive;
    ModuleDiagnose(host, "pulse", "the server took the connection and did not answer");
  } else {
    DiagnoseError("no server", pa_context_errno(connection->context));
  }
  return nullptr;
}

// The process's connection.
struct Server {
  std::mutex lock;
  std::shared_ptr<Connection> connection;  // guarded by lock
};

Server& TheServer() {
  // Never destroyed: the process may end while another thread still plays.
  static Server* server = new Server;
  return *server;
}

// The connection, made again if the server has gone or stopped answering; null when none
// answers. Server's lock held.
std::shared_ptr<Connection> Connected(Server& server, WaveOutReach* reach) {
  if (server.connection != nullptr && !server.connection->broken.load()) {
    LoopLock lock(server.connection->loop);
    if (pa_context_get_state(server.connection->context) == PA_CONTEXT_READY) {
      *reach = WaveOutReach::kServing;
      return server.connection;
    }
  }
  server.connection = Connect(reach);
  return server.connection;
}

std::shared_ptr<Connection> Connection_() {
  Server& server = TheServer();
  std::lock_guard lock(server.lock);
  WaveOutReach reach{};
  return Connected(server, &reach);
}

WaveOutReach Reach() {
  Server& server = TheServer();
  std::lock_guard lock(server.lock);
  WaveOutReach reach{};
  Connected(server, &reach);
  return reach;
}

// The loop's lock held: runs an operation to its end, within the bound. False when it did not
// end in time (the connection is then given up) or was cancelled.
bool Await(const std::shared_ptr<Connection>& connection, pa_operation* operation) {
  if (operation == nullptr) return false;
  const Waited waited = WaitFor(connection, kAnswerBound, [operation] {
    return pa_operation_get_state(operation) != PA_OPERATION_RUNNING;
  });
  if (waited == Waited::kTimedOut) connection->broken.store(true);
  if (waited != Waited::kDone) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return waited == Waited::kDone;
}

struct Listing {
  pa_threaded_mainloop* loop;
  std::vector<WaveOutDeviceName> sinks;
  std::string defaultSink;
};

void OnSink(pa_context* /*context*/, const pa_sink_info* info, int last, void* listing) {
  auto* into = static_cast<Listing*>(listing);
  if (last != 0 || info == nullptr) {
    Signal(into->loop);
    return;
  }
  const std::string name = info->name != nullptr ? info->name : "";
  into->sinks.push_back({name, info->description != nullptr ? info->description : name});
}

void OnServerInfo(pa_context* /*context*/, const pa_server_info* info, void* listing) {
  auto* into = static_cast<Listing*>(listing);
  if (info != nullptr && info->default_sink_name != nullptr) {
    into->defaultSink = info->default_sink_name;
  }
  Signal(into->loop);
}

bool List(std::string* defaultName, std::vector<WaveOutDeviceName>* devices) {
  const std::shared_ptr<Connection> connection = Connection_();
  if (connection == nullptr) return false;
  Listing listing{connection->loop, {}, {}};
  {
    LoopLock lock(connection->loop);
    if (!Await(connection,
               pa_context_get_server_info(connection->context, &OnServerInfo, &listing)) ||
        !Await(connection, pa_context_get_sink_info_list(connection->context, &OnSink, &listing))) {
      return false;
    }
  }
  for (const WaveOutDeviceName& sink : listing.sinks) {
    if (sink.key == listing.defaultSink) *defaultName = sink.description;
  }
  *devices = std::move(listing.sinks);
  return true;
}

struct PulseOutput {
  // Immutable after open.
  std::shared_ptr<Connection> connection;
  const WaveOutQueueServices* services = nullptr;
  WaveOutQueue* queue = nullptr;
  pa_stream* stream = nullptr;
  pa_sample_spec spec{};
  size_t frameBytes = 0;
  uint8_t silence = 0;
  UniqueFd wake;                   // an eventfd: the writer has something to hand on
  pa_io_event* woken = nullptr;    // the loop's watch on it
  pa_time_event* timer = nullptr;  // the next look at what has played
  pa_usec_t timerDue = 0;

  // Written with the loop's lock held; Kick reads them without it.
  std::atomic<bool> handing{false};      // ready, running and not failed
  std::atomic<uint64_t> handOnBytes{0};  // a write is handed on once this much waits...
  std::atomic<pa_usec_t> urgentAt{0};    // ...or when the server will run low before...
  std::atomic<pa_usec_t> nextLook{0};    // ...the loop's next look (0: none set)
  std::atomic<bool> wakeSent{false};     // a wake is on its way to the loop

  // Guarded by the loop's lock.
  bool ready = false;
  bool failed = false;
  bool running = false;  // started and not paused
  // Writes and flushes so far: what the server last reported is about the writes before it.
  uint64_t writes = 0;
  bool written = false;  // something was written since the last flush
  // Once the server reports that it has passed on everything written (`dryWrites` counts the
  // writes then), what the sink still holds has played by `dryEnd`.
  pa_usec_t dryEnd = 0;
  uint64_t dryWrites = UINT64_MAX;
  // The last buffer out must have been reported played by `reportBy` (for the writes
  // `lastWrites`).
  pa_usec_t reportBy = 0;
  uint64_t lastWrites = UINT64_MAX;
  pa_operation* drain = nullptr;
  uint64_t drainWrites = UINT64_MAX;  // the writes when the last drain was asked for
  // The timing update asked for; its answer must not outlive the stream. `askAgain`: something
  // happened after it was asked, so its answer may tell of the time before.
  pa_operation* timing = nullptr;
  bool askAgain = false;
  pa_usec_t askedAt = 0;
  // The server reported running dry, and no timing asked for since has come back: where it
  // will read next is not known yet.
  bool ranDry = false;
  pa_usec_t answeredAt = 0;
};

void Advance(PulseOutput* output);

pa_usec_t Elapsed(pa_usec_t from, pa_usec_t to) {
  return to > from ? to - from : 0;
}

// The loop's lock held: whether Kick may hand writes on.
void UpdateHanding(PulseOutput* output) {
  output->handing.store(output->ready && output->running && !output->failed);
}

// The loop's lock held. The device is gone, or its server stopped answering.
void Fail(PulseOutput* output) {
  if (output->failed) return;
  if (const int error = pa_context_errno(output->connection->context); error != PA_OK) {
    DiagnoseError("the stream failed", error);
  } else {
    ModuleDiagnose(host, "pulse", "the server stopped answering");
  }
  output->failed = true;
  UpdateHanding(output);
  output->services->fail(output->queue, 0);
}

void OnTiming(pa_stream* /*stream*/, int success, void* priv);

// The loop's lock held: asks the server for fresh timing information. One update is asked for
// at a time; `after` an event, an update already under way is followed by another.
void AskTiming(PulseOutput* output, bool after) {
  if (output->timing != nullptr) {
    output->askAgain = output->askAgain || after;
    return;
  }
  output->timing = pa_stream_update_timing_info(output->stream, &OnTiming, output);
  output->askedAt = pa_rtclock_now();
}

void OnTiming(pa_stream* /*stream*/, int success, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  if (output->timing != nullptr) pa_operation_unref(output->timing);
  output->timing = nullptr;
  if (success == 0) return;  // the stream's own state tells of a failure
  output->answeredAt = pa_rtclock_now();
  if (!output->askAgain) output->ranDry = false;
  if (output->askAgain) {
    output->askAgain = false;
    AskTiming(output, false);
  }
  Advance(output);
}

// The server reports the stream started playing: what it holds now falls.
void OnStarted(pa_stream* /*stream*/, void* priv) {
  AskTiming(static_cast<PulseOutput*>(priv), true);
}

// The server reports the stream ran short: it has passed on everything written, or (PipeWire)
// it keeps a last part shorter than its period until more comes or the stream is drained.
void OnUnderflow(pa_stream* /*stream*/, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  output->ranDry = true;
  AskTiming(output, true);
}

void OnDrained(pa_stream* /*stream*/, int /*success*/, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  if (output->drain != nullptr) pa_operation_unref(output->drain);
  output->drain = nullptr;
  AskTiming(output, true);
}

// The loop's lock held: gives the server every byte the queue has.
void WriteWaiting(PulseOutput* output) {
  // PipeWire counts what it read past the end while dry: the next write waits for the read
  // index the timing answer brings, or its start would be dropped.
  if (output->ranDry && output->timing != nullptr) return;
  // A drained PipeWire stream counts the silence it padded its last part with as read, beyond
  // what was written: that much of the next write would be lost, so silence goes first.
  const pa_timing_info* timing = pa_stream_get_timing_info(output->stream);
  uint64_t owed = 0;
  if (timing != nullptr && timing->write_index_corrupt == 0 && timing->read_index_corrupt == 0 &&
      timing->read_index > timing->write_index && output->services->waiting(output->queue) > 0) {
    owed = static_cast<uint64_t>(timing->read_index - timing->write_index);
    owed -= owed % output->frameBytes;
  }
  while (owed > 0) {
    void* data = nullptr;
    size_t size = static_cast<size_t>(-1);
    if (pa_stream_begin_write(output->stream, &data, &size) < 0 || data == nullptr) return;
    size = std::min<size_t>(size - size % output->frameBytes, owed);
    std::memset(data, output->silence, size);
    if (pa_stream_write(output->stream, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      DiagnoseError("write", pa_context_errno(output->connection->context));
      return;
    }
    ++output->writes;
    owed -= size;
  }
  for (;;) {
    void* data = nullptr;
    size_t size = static_cast<size_t>(-1);  // as large as the library likes
    if (pa_stream_begin_write(output->stream, &data, &size) < 0 || data == nullptr) return;
    size = std::min(size, size_t{UINT32_MAX});
    size -= size % output->frameBytes;
    auto* bytes = static_cast<uint8_t*>(data);
    uint32_t got =
        size > 0 ? output->services->take(output->queue, bytes, static_cast<uint32_t>(size)) : 0;
    if (got == 0) {
      pa_stream_cancel_write(output->stream);
      return;
    }
    // A writer's buffer that ends inside a frame: the frame is completed with silence.
    const size_t partial = got % output->frameBytes;
    if (partial != 0) {
      std::memset(bytes + got, output->silence, output->frameBytes - partial);
      got += static_cast<uint32_t>(output->frameBytes - partial);
    }
    if (pa_stream_write(output->stream, data, got, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      DiagnoseError("write", pa_context_errno(output->connection->context));
      return;
    }
    ++output->writes;
    output->written = true;
  }
}

// What the server last said of the stream, carried on to `now`: how many of the bytes written
// are unplayed, and whether that amount falls as time goes (the sink plays the stream).
struct Unplayed {
  uint64_t bytes = 0;
  bool falling = false;
  bool passedOn = false;  // the server has passed on everything written
};

// The loop's lock held. False when the library holds no valid report (none yet, or one from
// before a flush). The report is carried on at the real-time rate while it says the stream
// plays: the library's own interpolation is not used, since right after a start it counts as
// played what the server has not begun to play.
bool ReadUnplayed(PulseOutput* output, pa_usec_t now, Unplayed* unplayed) {
  const pa_timing_info* timing = pa_stream_get_timing_info(output->stream);
  if (timing == nullptr || timing->write_index_corrupt != 0 || timing->read_index_corrupt != 0) {
    return false;
  }
  // The library's write index counts the writes made since the report.
  const pa_usec_t reportedAt = now - std::min(pa_timeval_age(&timing->timestamp), now);
  if (output->dryWrites != output->writes && timing->read_index >= timing->write_index) {
    // Everything written has left the stream for the sink, which plays it within its latency
    // of that report. Later reports say the same of a later time: this one fixes the end.
    output->dryEnd = reportedAt + timing->sink_usec;
    output->dryWrites = output->writes;
    if (output->written) output->services->underrun(output->queue);
  }
  if (output->dryWrites == output->writes) {
    unplayed->bytes =
        output->dryEnd > now ? pa_usec_to_bytes(output->dryEnd - now, &output->spec) : 0;
    unplayed->falling = true;
    unplayed->passedOn = true;
    return true;
  }
  const int64_t queued = std::max<int64_t>(timing->write_index - timing->read_index, 0);
  unplayed->bytes =
      static_cast<uint64_t>(queued) + pa_usec_to_bytes(timing->sink_usec, &output->spec);
  unplayed->falling = timing->playing != 0;
  if (unplayed->falling) {
    const uint64_t since = pa_usec_to_bytes(now - reportedAt, &output->spec);
    unplayed->bytes = unplayed->bytes > since ? unplayed->bytes - since : 0;
  }
  return true;
}

// The loop's lock held: sets the timer for the next look, at `at` (none for 0).
void Schedule(PulseOutput* output, pa_usec_t at) {
  // A restart wakes the loop's thread through its pipe even when made on that thread: a time
  // within a millisecond of the one set stands.
  if (at == output->timerDue ||
      (at != 0 && output->timerDue != 0 &&
       std::max(at, output->timerDue) - std::min(at, output->timerDue) < kMs)) {
    return;
  }
  output->timerDue = at;
  pa_context_rttime_restart(output->connection->context, output->timer,
                            at == 0 ? PA_USEC_INVALID : at);
}

pa_usec_t Earliest(pa_usec_t a, pa_usec_t b) {
  return a == 0 ? b : b == 0 ? a : std::min(a, b);
}

// The loop's lock held: hands the server what waits, sends back what has played, and sets the
// timer for the next look.
void Advance(PulseOutput* output) {
  if (!output->ready || output->failed) return;
  WriteWaiting(output);
  if (!output->running) return;  // a paused stream plays nothing, so nothing comes back
  const WaveOutQueueServices* services = output->services;
  const pa_usec_t now = pa_rtclock_now();
  if (output->timing != nullptr && Elapsed(output->askedAt, now) > kAnswerBound) {
    output->connection->broken.store(true);
    Fail(output);
    return;
  }

  Unplayed unplayed;
  const bool known = ReadUnplayed(output, now, &unplayed);
  WaveOutOutlook queued;
  services->outlook(output->queue, UINT64_MAX, &queued);
  // The last buffer out, with nothing to follow it, comes back only once the server has
  // reported passing it on: PipeWire keeps the last part of a stream, shorter than its period,
  // until more comes or the stream is drained, and the latency does not count it.
  const bool last = queued.out && queued.nextHeld == 0 && queued.waiting == 0 && !unplayed.passedOn;
  if (last && output->lastWrites != output->writes) {
    output->lastWrites = output->writes;
    output->reportBy =
        now + (known ? pa_bytes_to_usec(unplayed.bytes, &output->spec) : 0) + kAnswerBound;
  }
  if (last && now > output->reportBy) {
    output->connection->broken.store(true);
    Fail(output);
    return;
  }
  // Drained whenever the writer has nothing more to give, and the server either holds the last
  // buffer out or has stopped playing what it holds.
  const bool stalled = known && !unplayed.falling && !unplayed.passedOn;
  if ((last || (stalled && queued.out && queued.waiting == 0)) &&
      output->drainWrites != output->writes && output->drain == nullptr) {
    output->drain = pa_stream_drain(output->stream, &OnDrained, output);
    output->drainWrites = output->writes;
  }

  // What comes back now, and what stays out: the next look is set, and what a write will find
  // is published, before the buffers go back to the writer.
  const uint64_t held = last ? std::max<uint64_t>(unplayed.bytes, 1) : unplayed.bytes;
  WaveOutOutlook after = queued;
  if (known) services->outlook(output->queue, held, &after);
  if (!known || (after.out && Elapsed(output->answeredAt, now) >= kTimingAge)) {
    AskTiming(output, false);
  }
  pa_usec_t next = output->timing != nullptr ? output->askedAt + kAnswerBound + 1 : 0;
  if (after.out && output->timing == nullptr) {
    next = Earliest(next, output->answeredAt + kTimingAge);
  }
  const pa_timing_info* timing = pa_stream_get_timing_info(output->stream);
  const uint64_t urgent =
      pa_usec_to_bytes(kUrgentBelow + (timing != nullptr ? timing->sink_usec : 0), &output->spec);
  pa_usec_t urgentAt = 0;
  if (known && unplayed.falling) {
    if (after.out && !last) {
      const uint64_t goal =
          std::min<uint64_t>(after.nextHeld, pa_usec_to_bytes(kReturnBelow, &output->spec));
      if (unplayed.bytes > goal) {
        next = Earliest(next, now + pa_bytes_to_usec(unplayed.bytes - goal, &output->spec) + kMs);
      }
    }
    if (unplayed.bytes > urgent) {
      urgentAt = now + pa_bytes_to_usec(unplayed.bytes - urgent, &output->spec);
    }
  }
  if (last) next = Earliest(next, output->reportBy + 1);
  if (after.returned > 0) output->handOnBytes.store(after.returned);
  output->urgentAt.store(urgentAt);
  output->nextLook.store(next);
  Schedule(output, next);
  if (known) services->played(output->queue, held);
}

void OnTimer(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*when*/,
             void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  const pa_usec_t now = pa_rtclock_now();
  // Far later than set: this process did not run (it was stopped). The server's answers may
  // wait unread; its bounds count from now.
  if (Elapsed(output->timerDue, now) > kStalled) {
    output->askedAt = std::max(output->askedAt, now);
    output->reportBy = std::max(output->reportBy, now + kAnswerBound);
  }
  output->timerDue = 0;
  Advance(output);
}

void OnWake(pa_mainloop_api* /*api*/, pa_io_event* /*event*/, int fd, pa_io_event_flags_t /*flags*/,
            void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
  output->wakeSent.store(false);
  Advance(output);
}

void OnStreamState(pa_stream* stream, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    output->ready = true;
    UpdateHanding(output);
  }
  // The device has gone with no other to move to, or the server has: what the stream held
  // is lost, and its buffers and every queued one go back now.
  if (!PA_STREAM_IS_GOOD(state) && output->ready) Fail(output);
  Signal(output->connection->loop);
}

bool SampleFormat(uint16_t bits, pa_sample_format_t* format) {
  switch (bits) {
    case 8:
      *format = PA_SAMPLE_U8;
      return true;
    case 16:
      *format = PA_SAMPLE_S16LE;
      return true;
    case 32:
      *format = PA_SAMPLE_S32LE;
      return true;
    default:
      return false;
  }
}

MMRESULT OpenError(int error) {
  DiagnoseError("open", error);
  switch (error) {
    case PA_ERR_NOENTITY:
      return MMSYSERR_BADDEVICEID;
    case PA_ERR_INVALID:
    case PA_ERR_NOTSUPPORTED:
      return WAVERR_BADFORMAT;
    default:
      return MMSYSERR_ERROR;
  }
}

// The loop's lock held.
void Disconnect(PulseOutput* output) {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(output->connection->loop);
  if (output->timer != nullptr) api->time_free(output->timer);
  if (output->woken != nullptr) api->io_free(output->woken);
  output->timer = nullptr;
  output->woken = nullptr;
  for (pa_operation** operation : {&output->drain, &output->timing}) {
    if (*operation == nullptr) continue;
    pa_operation_cancel(*operation);
    pa_operation_unref(*operation);
    *operation = nullptr;
  }
  if (output->stream == nullptr) return;
  pa_stream_set_state_callback(output->stream, nullptr, nullptr);
  pa_stream_set_started_callback(output->stream, nullptr, nullptr);
  pa_stream_set_underflow_callback(output->stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(output->stream))) pa_stream_disconnect(output->stream);
  pa_stream_unref(output->stream);
  output->stream = nullptr;
}

// The loop's lock held: makes the stream and waits, within the bound, until it plays.
MMRESULT Connect(PulseOutput* output, const char* sink, const pa_channel_map& map) {
  const std::shared_ptr<Connection>& connection = output->connection;
  output->stream = pa_stream_new(connection->context, "rtplayer", &output->spec, &map);
  if (output->stream == nullptr) return OpenError(pa_context_errno(connection->context));
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection->loop);
  output->timer = api->time_new(api, nullptr, &OnTimer, output);
  output->woken = api->io_new(api, output->wake.get(), PA_IO_EVENT_INPUT, &OnWake, output);
  if (output->timer == nullptr || output->woken == nullptr) return MMSYSERR_NOMEM;
  pa_stream_set_state_callback(output->stream, &OnStreamState, output);
  pa_stream_set_started_callback(output->stream, &OnStarted, output);
  pa_stream_set_underflow_callback(output->stream, &OnUnderflow, output);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetAudio, &output->spec));
  // Playing starts with the first frame, so a file shorter than the ring is heard too; and
  // after running dry the stream waits for the next frame rather than skip ahead.
  attributes.prebuf = static_cast<uint32_t>(output->frameBytes);
  attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(kRequestAudio, &output->spec));
  attributes.fragsize = static_cast<uint32_t>(-1);
  // Timing is asked for when it is needed: the library's own updates would come every 10 ms
  // for a while after each start, underflow and drain.
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_playback(output->stream, sink[0] == '\0' ? nullptr : sink, &attributes,
                                 flags, nullptr, nullptr) < 0) {
    return OpenError(pa_context_errno(connection->context));
  }
  pa_stream* stream = output->stream;
  const Waited waited = WaitFor(connection, kAnswerBound, [stream] {
    return pa_stream_get_state(stream) != PA_STREAM_CREATING;
  });
  if (pa_stream_get_state(stream) == PA_STREAM_READY) {
    char spec[PA_SAMPLE_SPEC_SNPRINT_MAX];
    const pa_buffer_attr* agreed = pa_stream_get_buffer_attr(stream);
    ModuleDiagnose(host, "pulse", "playing on %s: %s, target %u bytes",
                   pa_stream_get_device_name(stream),
                   pa_sample_spec_snprint(spec, sizeof spec, pa_stream_get_sample_spec(stream)),
                   agreed != nullptr ? agreed->tlength : 0);
    return MMSYSERR_NOERROR;
  }
  if (waited == Waited::kDone) return OpenError(pa_context_errno(connection->context));
  ModuleDiagnose(host, "pulse", "the stream did not start within the bound");
  return MMSYSERR_ERROR;
}

MMRESULT Open(const char* key, const WAVEFORMATEX& format, const WaveOutQueueServices* services,
              WaveOutQueue* queue, void** priv) {
  pa_sample_spec spec{};
  if (!SampleFormat(format.wBitsPerSample, &spec.format) || format.nChannels > PA_CHANNELS_MAX) {
    return WAVERR_BADFORMAT;
  }
  spec.rate = format.nSamplesPerSec;
  spec.channels = static_cast<uint8_t>(format.nChannels);
  if (pa_sample_spec_valid(&spec) == 0) return WAVERR_BADFORMAT;
  pa_channel_map map{};
  if (pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_WAVEEX) == nullptr) {
    return WAVERR_BADFORMAT;
  }

  auto output = std::make_unique<PulseOutput>();
  output->services = services;
  output->queue = queue;
  output->spec = spec;
  output->frameBytes = pa_frame_size(&spec);
  output->silence = format.wBitsPerSample == 8 ? 0x80 : 0;
  output->wake = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (output->wake.get() < 0) return MMSYSERR_NOMEM;
  output->connection = Connection_();
  if (output->connection == nullptr) return MMSYSERR_NODRIVER;

  LoopLock lock(output->connection->loop);
  const MMRESULT result = Connect(output.get(), key, map);
  if (result != MMSYSERR_NOERROR) {
    Disconnect(output.get());
    return result;
  }
  *priv = output.release();
  return MMSYSERR_NOERROR;
}

MMRESULT Close(void* priv) {
  std::unique_ptr<PulseOutput> output(static_cast<PulseOutput*>(priv));
  // What the server still holds is dropped with the stream: nothing here waits for it.
  LoopLock lock(output->connection->loop);
  Disconnect(output.get());
  return output->services->failureUnreported(output->queue) ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

// The server's answer to a cork or a flush: a refusal is only written down, as the stream's
// state tells of any failure that matters.
void OnDone(pa_stream* stream, int success, void* what) {
  if (success == 0) {
    DiagnoseError(static_cast<const char*>(what), pa_context_errno(pa_stream_get_context(stream)));
  }
}

void Cork(PulseOutput* output, bool cork) {
  if (output->failed) return;
  if (pa_operation* operation = pa_stream_cork(output->stream, cork ? 1 : 0, &OnDone,
                                               const_cast<char*>(cork ? "cork" : "uncork"))) {
    pa_operation_unref(operation);
  } else {
    DiagnoseError("cork", pa_context_errno(output->connection->context));
  }
}

void Start(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  Cork(output, false);
  output->running = true;
  UpdateHanding(output);
  Advance(output);
}

void Pause(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  Cork(output, true);
  output->running = false;
  UpdateHanding(output);
  output->nextLook.store(0);
  Schedule(output, 0);
}

// Writer's thread, without the loop's lock: a write wakes the loop's thread at once when the
// writer has written back as much as the last return sent it, or when the server would run
// low before the loop's next look; otherwise that look takes it. So the loop's thread wakes
// once for a pair written back, not for each buffer.
void Kick(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  if (!output->handing.load()) return;  // the next start takes what waits
  const pa_usec_t urgentAt = output->urgentAt.load();
  const pa_usec_t nextLook = output->nextLook.load();
  if (output->services->waiting(output->queue) < output->handOnBytes.load() &&
      pa_rtclock_now() < urgentAt && nextLook != 0 && nextLook <= urgentAt) {
    return;
  }
  if (output->wakeSent.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(output->wake.get(), &one, sizeof one);
}

bool Reset(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  const bool endedPause = output->services->reset(output->queue);
  output->handOnBytes.store(0);
  output->urgentAt.store(0);
  output->nextLook.store(0);
  if (output->drain != nullptr) {
    pa_operation_cancel(output->drain);
    pa_operation_unref(output->drain);
    output->drain = nullptr;
  }
  if (!output->failed) {
    if (pa_operation* operation =
            pa_stream_flush(output->stream, &OnDone, const_cast<char*>("flush"))) {
      pa_operation_unref(operation);
    } else {
      DiagnoseError("flush", pa_context_errno(output->connection->context));
    }
    // What the server reports from now on is about what follows the flush.
    ++output->writes;
    output->written = false;
  }
  return endedPause;
}
void Attach(const ModuleHost* theHost) {
  host = theHost;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) const WaveOutBackend rtplayer_waveout_backend = {
    kWaveOutBackendVersion, &Reach, &List, &Open, &Close, &Start, &Pause, &Kick, &Reset,
    &CancelOpens,           &Attach};
