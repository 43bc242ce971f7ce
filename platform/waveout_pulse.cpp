// The sound server's devices (PulseAudio, or PipeWire's PulseAudio service) through libpulse's
// asynchronous API. Built as the module rtplayer-pulse.so, so a process that never lists or
// opens a device never maps libpulse and its dependencies.
//
// One connection serves the process: a threaded main loop and a context, made at first need
// and made again after the server has gone or stopped answering. Its lock is held exactly
// around calls into the library; callbacks run on the loop's thread with the lock held, and the
// other threads wait for answers on pa_threaded_mainloop_wait, never longer than a bound.
//
// Each device is a playback stream. It is given every byte the queue has as soon as it is
// worth a wake-up of the loop's thread, so the server holds the ring's worth of audio, and the
// stream asks the server for a sink latency of about one device buffer. What has been heard is
// the server's to say: the stream's latency (what is written less what the sink has played,
// from the server's timing information, interpolated between its updates) tells how much of
// what was taken is still unplayed, and a timer wakes the loop when the next buffers will have
// played. Buffers go back in pairs where they can, so the writer wakes once for two. When the
// writer has stopped writing and the timer finds the stream no further on, the stream is
// drained: PipeWire plays the last part of a stream, shorter than its period, only then.
//
// A server that stops answering while a stream plays fails the queue: the timing information
// must come back within a bound of being asked for.
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/waveout_backend.h"

namespace {

constexpr pa_usec_t kMs = PA_USEC_PER_MSEC;
constexpr pa_usec_t kConnectBound = 1000 * kMs;  // a server that took the connection
constexpr pa_usec_t kAnswerBound = 2000 * kMs;   // a stream's start, a listing, a timing update
// What the stream asks for: the server's latency in all (the sink's part, about one device
// buffer, is what ADJUST_LATENCY leaves of it less two requests), and requests as large as
// that allows, so the server's requests wake the loop rarely. The ring holds 500 ms, so the
// server never has all it asks for.
constexpr pa_usec_t kTargetAudio = 1000 * kMs;
constexpr pa_usec_t kRequestAudio = 375 * kMs;
// Buffers go back once at most this much is still unplayed (two of the ring's four), and a
// write is handed on at once when the server holds less than the urgent amount.
constexpr pa_usec_t kReturnBelow = 250 * kMs;
constexpr pa_usec_t kUrgentBelow = 150 * kMs;
// How long the loop waits at least before it looks again at a stream that made no progress,
// and how often it asks a playing stream's server for its timing when it has not had it.
constexpr pa_usec_t kRetry = 20 * kMs;
constexpr pa_usec_t kTimingAge = 1000 * kMs;

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
    return connection;
  }
  if (waited != Waited::kDone) *reach = WaveOutReach::kUnresponsive;
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
  pa_time_event* timer = nullptr;    // the next look at what has played
  pa_defer_event* handOn = nullptr;  // a write to take at once

  // Guarded by the loop's lock.
  bool ready = false;
  bool failed = false;
  bool running = false;  // started and not paused
  bool handOnAsked = false;
  // The bytes the last return sent back; a write hands on at once once as much waits again.
  uint64_t lastReturn = 0;
  pa_operation* drain = nullptr;
  bool drained = false;  // a drain has ended since the last write
  // An update of the timing asked for; its answer must not outlive the stream.
  pa_operation* timing = nullptr;
  // When the server last gave timing information, and when it was last asked for it.
  pa_usec_t answeredAt = 0;
  pa_usec_t askedAt = 0;
  bool asked = false;
  bool overdue = false;  // the answer was late at the last look
  bool dry = false;      // the server said the stream ran dry, and nothing was written since
};

void Advance(PulseOutput* output, bool timed);

// The loop's lock held. The device is gone, or its server stopped answering.
void Fail(PulseOutput* output) {
  if (output->failed) return;
  output->failed = true;
  output->services->fail(output->queue);
}

pa_usec_t Elapsed(pa_usec_t from, pa_usec_t to) {
  return to > from ? to - from : 0;
}

void OnTiming(pa_stream* /*stream*/, int success, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  if (output->timing != nullptr) pa_operation_unref(output->timing);
  output->timing = nullptr;
  if (success == 0) return;  // the stream's own state tells of a failure
  output->answeredAt = pa_rtclock_now();
  output->asked = false;
  output->overdue = false;
  Advance(output, false);
}

// The loop's lock held: asks for fresh timing information unless it has been asked for.
void AskTiming(PulseOutput* output, pa_usec_t now) {
  if (output->asked) return;
  if (pa_operation* operation = pa_stream_update_timing_info(output->stream, &OnTiming, output)) {
    pa_operation_unref(operation);
    output->asked = true;
    output->askedAt = now;
  }
}

void OnLatencyUpdate(pa_stream* /*stream*/, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  output->answeredAt = pa_rtclock_now();
  output->overdue = false;
  Advance(output, false);
}

void OnDrained(pa_stream* /*stream*/, int /*success*/, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  if (output->drain != nullptr) pa_operation_unref(output->drain);
  output->drain = nullptr;
  output->drained = true;
  // What the sink played last is known only from fresh timing information.
  output->asked = false;
  AskTiming(output, pa_rtclock_now());
}

// The loop's lock held: gives the server every byte the queue has.
void WriteWaiting(PulseOutput* output) {
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
    if (pa_stream_write(output->stream, data, got, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
    output->drained = false;
    output->dry = false;
  }
}

// The loop's lock held: how many of the bytes written the sink has not played, from the
// server's timing; false when the library has no valid timing information.
bool Unplayed(PulseOutput* output, uint64_t* bytes) {
  // A stream that has run dry keeps the sink's latency as its own for as long as it stays dry,
  // although the sink plays out what it held within that time of running dry.
  const pa_timing_info* timing = pa_stream_get_timing_info(output->stream);
  if (timing != nullptr && timing->playing == 0 && timing->write_index_corrupt == 0 &&
      timing->read_index_corrupt == 0 && timing->read_index >= timing->write_index) {
    if (!output->dry) output->services->underrun(output->queue);
    output->dry = true;
    const pa_usec_t age = pa_timeval_age(&timing->timestamp);
    *bytes = pa_usec_to_bytes(timing->sink_usec > age ? timing->sink_usec - age : 0, &output->spec);
    return true;
  }
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(output->stream, &latency, &negative) != 0) return false;
  *bytes = negative != 0 ? 0 : pa_usec_to_bytes(latency, &output->spec);
  return true;
}

void Schedule(PulseOutput* output, pa_usec_t at) {
  pa_context_rttime_restart(output->connection->context, output->timer, at);
}

// The loop's lock held: hands the server what waits, sends back what has played, and sets the
// timer for the next look. `timed` when the timer woke the loop.
void Advance(PulseOutput* output, bool timed) {
  if (!output->ready || output->failed) return;
  WriteWaiting(output);
  if (!output->running) return;  // a paused stream plays nothing, so nothing comes back
  const pa_usec_t now = pa_rtclock_now();

  // The server must answer for its timing while a stream plays.
  if (output->asked && Elapsed(output->askedAt, now) > kAnswerBound) {
    // Looked at once more after the loop has read what waits on the socket (a process that
    // was stopped finds the answer there).
    if (output->overdue) {
      output->connection->broken.store(true);
      Fail(output);
      return;
    }
    output->overdue = true;
    Schedule(output, now + kRetry);
    return;
  }
  if (Elapsed(output->answeredAt, now) > kTimingAge) AskTiming(output, now);

  uint64_t held = 0;
  pa_usec_t next = output->asked ? output->askedAt + kAnswerBound + 1 : now + kTimingAge;
  if (Unplayed(output, &held)) {
    uint64_t atReturn = 0;
    // The last buffer out, with nothing to follow it: the stream is drained before it can
    // count as played. PipeWire plays the last part of a stream, shorter than its period, only
    // when drained, and holds part of what it counts as played in its resampler until then.
    if (output->services->nextReturn(output->queue, &atReturn) && atReturn == 0 &&
        !output->drained && output->services->waiting(output->queue) == 0) {
      if (output->drain == nullptr) {
        output->drain = pa_stream_drain(output->stream, &OnDrained, output);
      }
      held = std::max<uint64_t>(held, 1);
    }
    const uint64_t returned = output->services->played(output->queue, held);
    if (returned > 0) output->lastReturn = returned;
    if (output->services->nextReturn(output->queue, &atReturn)) {
      const uint64_t goal =
          std::min<uint64_t>(atReturn, pa_usec_to_bytes(kReturnBelow, &output->spec));
      pa_usec_t wait = held > goal ? pa_bytes_to_usec(held - goal, &output->spec) + kMs : 0;
      // A stream that did not move since the last look (it waits for data, or for its drain)
      // is looked at again a little later, not at once.
      if (timed && returned == 0) wait = std::max(wait, kRetry);
      next = std::min(next, now + wait);
    }
  }
  Schedule(output, next);
}

void OnTimer(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*when*/,
             void* priv) {
  Advance(static_cast<PulseOutput*>(priv), true);
}

void OnHandOn(pa_mainloop_api* api, pa_defer_event* event, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  api->defer_enable(event, 0);
  output->handOnAsked = false;
  Advance(output, false);
}

void OnStreamState(pa_stream* stream, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    output->ready = true;
    output->answeredAt = pa_rtclock_now();
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
  if (output->handOn != nullptr) api->defer_free(output->handOn);
  output->timer = nullptr;
  output->handOn = nullptr;
  for (pa_operation** operation : {&output->drain, &output->timing}) {
    if (*operation == nullptr) continue;
    pa_operation_cancel(*operation);
    pa_operation_unref(*operation);
    *operation = nullptr;
  }
  if (output->stream == nullptr) return;
  pa_stream_set_state_callback(output->stream, nullptr, nullptr);
  pa_stream_set_latency_update_callback(output->stream, nullptr, nullptr);
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
  output->handOn = api->defer_new(api, &OnHandOn, output);
  api->defer_enable(output->handOn, 0);
  pa_stream_set_state_callback(output->stream, &OnStreamState, output);
  pa_stream_set_latency_update_callback(output->stream, &OnLatencyUpdate, output);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetAudio, &output->spec));
  // Playing starts with the first frame, so a file shorter than the ring is heard too; and
  // after running dry the stream waits for the next frame rather than skip ahead.
  attributes.prebuf = static_cast<uint32_t>(output->frameBytes);
  attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(kRequestAudio, &output->spec));
  attributes.fragsize = static_cast<uint32_t>(-1);
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                     PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
  if (pa_stream_connect_playback(output->stream, sink[0] == '\0' ? nullptr : sink, &attributes,
                                 flags, nullptr, nullptr) < 0) {
    return OpenError(pa_context_errno(connection->context));
  }
  pa_stream* stream = output->stream;
  const Waited waited = WaitFor(connection, kAnswerBound, [stream] {
    return pa_stream_get_state(stream) != PA_STREAM_CREATING;
  });
  if (pa_stream_get_state(stream) == PA_STREAM_READY) return MMSYSERR_NOERROR;
  if (waited == Waited::kDone) return OpenError(pa_context_errno(connection->context));
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

void Cork(PulseOutput* output, bool cork) {
  if (output->failed) return;
  if (pa_operation* operation = pa_stream_cork(output->stream, cork ? 1 : 0, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void Start(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  Cork(output, false);
  output->running = true;
  Advance(output, false);
}

void Pause(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  Cork(output, true);
  output->running = false;
}

// A write is handed to the server at once when the writer has written back as much as the last
// return sent it, or when the server runs low; otherwise the next look takes it, and the loop's
// thread wakes once for the pair.
void Kick(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  if (!output->ready || output->failed || output->handOnAsked) return;
  uint64_t held = 0;
  const bool urgent = !output->running || !Unplayed(output, &held) ||
                      held < pa_usec_to_bytes(kUrgentBelow, &output->spec) ||
                      output->services->waiting(output->queue) >= output->lastReturn;
  if (!urgent) return;
  output->handOnAsked = true;
  pa_threaded_mainloop_get_api(output->connection->loop)->defer_enable(output->handOn, 1);
}

bool Reset(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  const bool endedPause = output->services->reset(output->queue);
  output->lastReturn = 0;
  output->drained = false;
  if (output->drain != nullptr) {
    pa_operation_cancel(output->drain);
    pa_operation_unref(output->drain);
    output->drain = nullptr;
  }
  if (!output->failed) {
    if (pa_operation* operation = pa_stream_flush(output->stream, nullptr, nullptr)) {
      pa_operation_unref(operation);
    }
  }
  return endedPause;
}

}  // namespace

extern "C" __attribute__((visibility("default")))
const WaveOutBackend rtplayer_waveout_backend = {kWaveOutBackendVersion,
                                                 &Reach,
                                                 &List,
                                                 &Open,
                                                 &Close,
                                                 &Start,
                                                 &Pause,
                                                 &Kick,
                                                 &Reset,
                                                 &CancelOpens};
