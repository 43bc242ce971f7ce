// The sound server's devices (PulseAudio, or PipeWire's PulseAudio service) through libpulse's
// asynchronous API. Built as the module rtplayer-pulse.so, so a process that never lists or
// opens a device never maps libpulse and its dependencies.
//
// One connection serves the process: a threaded main loop and a context, made at first need
// and made again after the server has gone. Its lock is held exactly around calls into the
// library; callbacks run on the loop's thread with the lock held, and the other threads wait
// for answers on pa_threaded_mainloop_wait.
//
// Each device is a playback stream that holds about the ring's worth of audio and asks for it
// in large requests. The server's request is also how the stream learns what has played: the
// server asks again for exactly what it has read, so at any moment it holds at most the
// stream's target length less what it has asked for and not been given. What the stream has
// taken beyond that has been read by the server, and its buffers go back. Once the server has
// read everything, what it read last may still wait in the sink (the sink's latency): those
// buffers go back when the sink has had the time to play them, so the close that follows the
// last of them cuts nothing off.
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "waveout_backend.h"

namespace {

constexpr pa_usec_t kConnectTimeout = 1000 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kHeldAudio = 500 * PA_USEC_PER_MSEC;     // four 125 ms device buffers
constexpr pa_usec_t kRequestAudio = 125 * PA_USEC_PER_MSEC;  // one device buffer

struct Connection {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;

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

void OnContextState(pa_context* /*context*/, void* loop) {
  Signal(static_cast<pa_threaded_mainloop*>(loop));
}

struct ConnectWait {
  pa_threaded_mainloop* loop;
  bool timedOut = false;
};

void OnConnectTimeout(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                      const struct timeval* /*when*/, void* wait) {
  static_cast<ConnectWait*>(wait)->timedOut = true;
  Signal(static_cast<ConnectWait*>(wait)->loop);
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

// A new connection to the server, or null when none answers within the timeout.
std::shared_ptr<Connection> Connect() {
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
  ConnectWait wait{connection->loop};
  pa_time_event* timer = pa_context_rttime_new(
      connection->context, pa_rtclock_now() + kConnectTimeout, &OnConnectTimeout, &wait);
  pa_context_state_t state = pa_context_get_state(connection->context);
  while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && !wait.timedOut) {
    pa_threaded_mainloop_wait(connection->loop);
    state = pa_context_get_state(connection->context);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(connection->loop)->time_free(timer);
  pa_context_set_state_callback(connection->context, nullptr, nullptr);
  return state == PA_CONTEXT_READY ? connection : nullptr;
}

// The process's connection and the device list last read from it.
struct Server {
  std::mutex lock;
  // Guarded by lock.
  std::shared_ptr<Connection> connection;
  std::vector<std::string> sinkNames;
  std::vector<std::string> sinkDescriptions;
  std::string defaultDescription;
};

Server& TheServer() {
  // Never destroyed: the process may end while another thread still plays.
  static Server* server = new Server;
  return *server;
}

// The connection, made again if the server has gone; null when none answers. Server's lock held.
std::shared_ptr<Connection> Connected(Server& server) {
  if (server.connection != nullptr) {
    LoopLock lock(server.connection->loop);
    if (pa_context_get_state(server.connection->context) == PA_CONTEXT_READY) {
      return server.connection;
    }
  }
  server.connection = Connect();
  return server.connection;
}

// Runs an operation to its end, the loop's lock held.
void Await(pa_threaded_mainloop* loop, pa_operation* operation) {
  if (operation == nullptr) return;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(loop);
  }
  pa_operation_unref(operation);
}

struct Listing {
  pa_threaded_mainloop* loop;
  std::vector<std::string> names;
  std::vector<std::string> descriptions;
  std::string defaultName;
};

void OnSink(pa_context* /*context*/, const pa_sink_info* info, int last, void* listing) {
  auto* into = static_cast<Listing*>(listing);
  if (last != 0 || info == nullptr) {
    Signal(into->loop);
    return;
  }
  into->names.emplace_back(info->name != nullptr ? info->name : "");
  into->descriptions.emplace_back(info->description != nullptr ? info->description
                                                               : into->names.back());
}

void OnServerInfo(pa_context* /*context*/, const pa_server_info* info, void* listing) {
  auto* into = static_cast<Listing*>(listing);
  if (info != nullptr && info->default_sink_name != nullptr) {
    into->defaultName = info->default_sink_name;
  }
  Signal(into->loop);
}

// Server's lock held.
void ReadDevices(Server& server) {
  server.sinkNames.clear();
  server.sinkDescriptions.clear();
  server.defaultDescription.clear();
  const std::shared_ptr<Connection> connection = Connected(server);
  if (connection == nullptr) return;
  Listing listing{connection->loop, {}, {}, {}};
  {
    LoopLock lock(connection->loop);
    Await(connection->loop,
          pa_context_get_server_info(connection->context, &OnServerInfo, &listing));
    Await(connection->loop, pa_context_get_sink_info_list(connection->context, &OnSink, &listing));
  }
  for (size_t i = 0; i < listing.names.size(); ++i) {
    if (listing.names[i] == listing.defaultName)
      server.defaultDescription = listing.descriptions[i];
  }
  server.sinkNames = std::move(listing.names);
  server.sinkDescriptions = std::move(listing.descriptions);
}

bool Usable() {
  Server& server = TheServer();
  std::lock_guard lock(server.lock);
  return Connected(server) != nullptr;
}

uint32_t DeviceCount() {
  Server& server = TheServer();
  std::lock_guard lock(server.lock);
  ReadDevices(server);
  return static_cast<uint32_t>(server.sinkNames.size());
}

bool DeviceName(uint32_t id, std::string* name) {
  Server& server = TheServer();
  std::lock_guard lock(server.lock);
  if (id == WAVE_MAPPER) {
    *name = server.defaultDescription.empty() ? "Default" : "Default: " + server.defaultDescription;
    return true;
  }
  if (id >= server.sinkDescriptions.size()) return false;
  *name = server.sinkDescriptions[id];
  return true;
}

struct PulseOutput {
  // Immutable after open.
  std::shared_ptr<Connection> connection;
  const WaveOutQueueServices* services = nullptr;
  WaveOutQueue* queue = nullptr;
  pa_stream* stream = nullptr;
  size_t frameBytes = 0;
  uint8_t silence = 0;
  size_t targetBytes = 0;  // what the server holds when it has all it asked for

  // Guarded by the loop's lock.
  bool ready = false;
  bool failed = false;
  // Set while the server holds nothing of the stream: when what the sink holds will have
  // played.
  bool emptied = false;
  pa_usec_t playedOutAt = 0;
  pa_time_event* playedOutTimer = nullptr;
};

// The loop's lock held. The server holds at most this many bytes of the stream.
size_t HeldAtMost(const PulseOutput& output) {
  const size_t writable = pa_stream_writable_size(output.stream);
  if (writable == static_cast<size_t>(-1)) return output.targetBytes;
  return writable < output.targetBytes ? output.targetBytes - writable : 0;
}

void Serve(PulseOutput* output);

void OnPlayedOut(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*when*/,
                 void* priv) {
  Serve(static_cast<PulseOutput*>(priv));
}

// The loop's lock held: how many of the bytes taken are still unplayed, at most.
uint64_t Unplayed(PulseOutput* output) {
  const size_t held = HeldAtMost(*output);
  if (held > 0) {
    output->emptied = false;
    output->playedOutAt = 0;
    return held;
  }
  const pa_usec_t now = pa_rtclock_now();
  if (!output->emptied) {
    // The server has read everything: the sink plays what it holds within its latency, as
    // last measured while the stream played (the library keeps it up to date, rarely).
    output->emptied = true;
    const pa_timing_info* timing = pa_stream_get_timing_info(output->stream);
    output->playedOutAt = now + (timing != nullptr ? timing->sink_usec : 0) + 1;
    pa_context_rttime_restart(output->connection->context, output->playedOutTimer,
                              output->playedOutAt);
  }
  if (now >= output->playedOutAt) return 0;
  return pa_usec_to_bytes(output->playedOutAt - now, pa_stream_get_sample_spec(output->stream));
}

// The loop's lock held: gives back what has played and gives the server what it asked for.
void Serve(PulseOutput* output) {
  if (!output->ready || output->failed) return;
  output->services->played(output->queue, Unplayed(output));
  size_t wanted = pa_stream_writable_size(output->stream);
  while (wanted >= output->frameBytes && wanted != static_cast<size_t>(-1)) {
    void* data = nullptr;
    size_t size = wanted;
    if (pa_stream_begin_write(output->stream, &data, &size) < 0 || data == nullptr) return;
    size = std::min({size, wanted, size_t{UINT32_MAX}});
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
    output->emptied = false;
    output->playedOutAt = 0;
    wanted -= std::min<size_t>(wanted, got);
  }
}

void OnStreamState(pa_stream* stream, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) output->ready = true;
  if (!PA_STREAM_IS_GOOD(state) && output->ready && !output->failed) {
    // The device has gone with no other to move to, or the server has: what the stream held
    // is lost, and its buffers and every queued one go back now.
    output->failed = true;
    output->services->fail(output->queue);
  }
  Signal(output->connection->loop);
}

void OnRequest(pa_stream* /*stream*/, size_t /*bytes*/, void* priv) {
  Serve(static_cast<PulseOutput*>(priv));
}

void OnUnderflow(pa_stream* /*stream*/, void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  output->services->underrun(output->queue);
  Serve(output);
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

void Disconnect(PulseOutput* output) {
  if (output->playedOutTimer != nullptr) {
    pa_threaded_mainloop_get_api(output->connection->loop)->time_free(output->playedOutTimer);
    output->playedOutTimer = nullptr;
  }
  pa_stream_set_state_callback(output->stream, nullptr, nullptr);
  pa_stream_set_write_callback(output->stream, nullptr, nullptr);
  pa_stream_set_underflow_callback(output->stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(output->stream))) pa_stream_disconnect(output->stream);
  pa_stream_unref(output->stream);
  output->stream = nullptr;
}

MMRESULT Open(const WaveOutTarget& target, const WAVEFORMATEX& format,
              const WaveOutQueueServices* services, WaveOutQueue* queue, void** priv) {
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
  output->frameBytes = pa_frame_size(&spec);
  output->silence = format.wBitsPerSample == 8 ? 0x80 : 0;
  std::string sink;
  {
    Server& server = TheServer();
    std::lock_guard lock(server.lock);
    if (target.id != WAVE_MAPPER && target.id >= server.sinkNames.size()) ReadDevices(server);
    output->connection = Connected(server);
    if (output->connection == nullptr) return MMSYSERR_NODRIVER;
    if (target.id != WAVE_MAPPER) {
      if (target.id >= server.sinkNames.size()) return MMSYSERR_BADDEVICEID;
      sink = server.sinkNames[target.id];
    }
  }

  pa_threaded_mainloop* loop = output->connection->loop;
  LoopLock lock(loop);
  output->stream = pa_stream_new(output->connection->context, "rtplayer", &spec, &map);
  if (output->stream == nullptr) return OpenError(pa_context_errno(output->connection->context));
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
  output->playedOutTimer = api->time_new(api, nullptr, &OnPlayedOut, output.get());
  pa_stream_set_state_callback(output->stream, &OnStreamState, output.get());
  pa_stream_set_write_callback(output->stream, &OnRequest, output.get());
  pa_stream_set_underflow_callback(output->stream, &OnUnderflow, output.get());
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kHeldAudio, &spec));
  // Playing starts with the first frame, so a file shorter than the ring is heard too.
  attributes.prebuf = static_cast<uint32_t>(output->frameBytes);
  attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(kRequestAudio, &spec));
  attributes.fragsize = static_cast<uint32_t>(-1);
  if (pa_stream_connect_playback(
          output->stream, sink.empty() ? nullptr : sink.c_str(), &attributes,
          static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                         PA_STREAM_AUTO_TIMING_UPDATE),
          nullptr, nullptr) < 0) {
    const MMRESULT error = OpenError(pa_context_errno(output->connection->context));
    Disconnect(output.get());
    return error;
  }
  pa_stream_state_t state = pa_stream_get_state(output->stream);
  while (state == PA_STREAM_CREATING) {
    pa_threaded_mainloop_wait(loop);
    state = pa_stream_get_state(output->stream);
  }
  if (state != PA_STREAM_READY) {
    const MMRESULT error = OpenError(pa_context_errno(output->connection->context));
    Disconnect(output.get());
    return error;
  }
  const pa_buffer_attr* granted = pa_stream_get_buffer_attr(output->stream);
  output->targetBytes = granted != nullptr ? granted->tlength : attributes.tlength;
  *priv = output.release();
  return MMSYSERR_NOERROR;
}

MMRESULT Close(void* priv) {
  std::unique_ptr<PulseOutput> output(static_cast<PulseOutput*>(priv));
  // What the server still holds is dropped with the stream: nothing here waits for it.
  LoopLock lock(output->connection->loop);
  Disconnect(output.get());
  return MMSYSERR_NOERROR;
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
  Serve(output);
}

void Pause(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  Cork(output, true);
}

// A buffer is given to the server at once only when the server runs low: otherwise it waits
// for the server's next request, which wakes the loop's thread anyway.
void Kick(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  if (output->ready && !output->failed && HeldAtMost(*output) <= output->targetBytes / 2) {
    Serve(output);
  }
}

bool Reset(void* priv) {
  auto* output = static_cast<PulseOutput*>(priv);
  LoopLock lock(output->connection->loop);
  const bool endedPause = output->services->reset(output->queue);
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
                                                 &Usable,
                                                 &DeviceCount,
                                                 &DeviceName,
                                                 &Open,
                                                 &Close,
                                                 &Start,
                                                 &Pause,
                                                 &Kick,
                                                 &Reset};
