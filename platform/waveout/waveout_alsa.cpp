// SPDX-License-Identifier: GPL-3.0-or-later
// ALSA's devices, for a machine where no sound server answers. Built as the module
// rtplayer-alsa.so and loaded only then.
//
// The list is the one `aplay -L` shows: the configuration's devices that have a description,
// then the cards' devices. A device of the PulseAudio plugin that names no server of its own is
// left out: it would lead back to the server that has just failed to answer.
//
// A device is opened non-blocking on a thread of its own, waited for within a bound: a plugin
// may wait on its server for half a minute. Each open device has a writer thread that makes
// every call on its PCM: it takes from the queue as far as the device has room, reads the
// device's delay to say how much it still holds unplayed, and sleeps in poll on the device and
// on an eventfd through which the other threads wake it (a write, a start, a reset, the
// close). A device that fails (poll, or an error no recovery mends) fails the queue; the
// thread then serves resets and the close alone.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/module_diagnostics.h"
#include "platform/unique_fd.h"
#include "waveout_backend.h"

namespace {

constexpr unsigned kDeviceLatencyUs = 200000;  // what the device holds; the queue holds the rest
constexpr uint32_t kChunkBytes = 65536;
constexpr auto kOpenBound = std::chrono::seconds(2);

const ModuleHost* host = nullptr;  // set once, before any other entry is called

// ALSA's own complaints go to the program's diagnostics, never straight to standard error:
// the user is to see only the program's messages.
void AlsaError(const char* file, int line, const char* function, int error, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void AlsaError(const char* file, int line, const char* function, int error, const char* format,
               ...) {
  if (host == nullptr || !host->diagnosing()) return;
  char text[384];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  ModuleDiagnose(host, "alsa", "%s:%d %s: %s%s%s", file, line, function, text,
                 error != 0 ? ": " : "", error != 0 ? snd_strerror(error) : "");
}

void Attach(const ModuleHost* theHost) {
  host = theHost;
  snd_lib_error_set_handler(&AlsaError);
}

// One diagnostics line, with ALSA's reason for `error` (a negative errno).
void DiagnoseError(const char* what, int error) {
  ModuleDiagnose(host, "alsa", "%s: %s", what, snd_strerror(error));
}

// True for a device of the PulseAudio plugin that reaches the default server.
bool ReachesTheDefaultServer(const char* name) {
  snd_config_t* definition = nullptr;
  if (snd_config_update() < 0 ||
      snd_config_search_definition(snd_config, "pcm", name, &definition) < 0) {
    return false;
  }
  snd_config_t* field = nullptr;
  const char* type = nullptr;
  const bool pulse = snd_config_search(definition, "type", &field) == 0 &&
                     snd_config_get_string(field, &type) == 0 && std::strcmp(type, "pulse") == 0;
  const bool ownServer = snd_config_search(definition, "server", &field) == 0;
  snd_config_delete(definition);
  return pulse && !ownServer;
}

// A hint's description: its lines joined, as one name.
std::string Description(const char* text) {
  std::string description;
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) end = line + std::strlen(line);
    std::string part(line, end);
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (!part.empty()) description += (description.empty() ? "" : ", ") + part;
    line = *end == '\0' ? end : end + 1;
  }
  return description;
}

bool List(std::string* defaultName, std::vector<WaveOutDeviceName>* devices) {
  *defaultName = "ALSA";
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return false;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    const std::unique_ptr<char, decltype(&free)> name(snd_device_name_get_hint(*hint, "NAME"),
                                                      &free);
    const std::unique_ptr<char, decltype(&free)> description(
        snd_device_name_get_hint(*hint, "DESC"), &free);
    const std::unique_ptr<char, decltype(&free)> direction(snd_device_name_get_hint(*hint, "IOID"),
                                                           &free);
    if (name == nullptr || std::strcmp(name.get(), "default") == 0) continue;
    if (direction != nullptr && std::strcmp(direction.get(), "Output") != 0) continue;
    if (ReachesTheDefaultServer(name.get())) continue;
    devices->push_back(
        {name.get(), description != nullptr ? Description(description.get()) : name.get()});
  }
  snd_device_name_free_hint(hints);
  return true;
}

struct PcmClose {
  // Closing drops what the device holds; nothing waits for it to play.
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};

struct AlsaOutput {
  // Immutable after open.
  const WaveOutQueueServices* services = nullptr;
  WaveOutQueue* queue = nullptr;
  std::unique_ptr<snd_pcm_t, PcmClose> pcm;
  size_t frameBytes = 0;
  uint8_t silence = 0;
  UniqueFd wake;  // an eventfd
  std::thread writer;

  std::mutex lock;
  std::condition_variable resetDone;
  // Guarded by lock.
  bool running = false;
  bool closing = false;
  bool dropAsked = false;
  uint64_t resetsAsked = 0;
  uint64_t resetsDone = 0;
  bool endedPause = false;  // by the last reset done

  // The writer thread's own.
  std::vector<uint8_t> chunk;
  bool ranDry = false;  // counted as run dry, and nothing written since
};

void Wake(AlsaOutput* output) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(output->wake.get(), &one, sizeof one);
}

void Drained(int wake) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(wake, &count, sizeof count);
}

// Writer thread: the running device has played all it was given.
void RanDry(AlsaOutput* output) {
  if (output->ranDry) return;
  output->ranDry = true;
  output->services->underrun(output->queue);
}

// Writer thread. Brings the device back after an underrun or a suspend; false when it cannot be.
bool Recover(AlsaOutput* output, int error) {
  if (error == -EPIPE) RanDry(output);
  const int recovered = snd_pcm_recover(output->pcm.get(), error, 1);
  if (recovered < 0) DiagnoseError("the device cannot be brought back", recovered);
  return recovered == 0;
}

// Writer thread: gives the device what the queue has, as far as the device has room. True
// when the device could take more than the queue had; *broken when the device cannot be
// brought back.
bool Fill(AlsaOutput* output, bool* broken) {
  for (;;) {
    const snd_pcm_sframes_t room = snd_pcm_avail_update(output->pcm.get());
    if (room < 0) {
      // What the device held is lost with an underrun; it counts as played.
      if (!Recover(output, static_cast<int>(room))) {
        *broken = true;
        return false;
      }
      continue;
    }
    const size_t bytes =
        std::min<size_t>(static_cast<size_t>(room) * output->frameBytes, output->chunk.size());
    if (bytes < output->frameBytes) return false;
    uint8_t* data = output->chunk.data();
    uint32_t got = output->services->take(
        output->queue, data, static_cast<uint32_t>(bytes - bytes % output->frameBytes));
    if (got == 0) return true;
    output->ranDry = false;
    // A writer's buffer that ends inside a frame: the frame is completed with silence.
    if (const size_t partial = got % output->frameBytes; partial != 0) {
      std::memset(data + got, output->silence, output->frameBytes - partial);
      got += static_cast<uint32_t>(output->frameBytes - partial);
    }
    const snd_pcm_sframes_t written =
        snd_pcm_writei(output->pcm.get(), data, got / output->frameBytes);
    if (written == -EAGAIN) return false;
    if (written < 0 && !Recover(output, static_cast<int>(written))) {
      *broken = true;
      return false;
    }
  }
}

// Writer thread: says what the device still holds unplayed; returns how many milliseconds
// until the next buffer out will have played, or with none out until the device will have
// played all it holds (so that running dry is seen and counted); -1 when there is nothing to
// wait for, -2 when the device cannot say (it has failed).
int ReportPlayed(AlsaOutput* output, unsigned rate) {
  snd_pcm_sframes_t delay = 0;
  // A device that has not started holds nothing; the PulseAudio plugin answers -EIO there.
  const int error = snd_pcm_state(output->pcm.get()) == SND_PCM_STATE_PREPARED
                        ? 0
                        : snd_pcm_delay(output->pcm.get(), &delay);
  if (error < 0) {
    // Run dry (what it held has played) or suspended: brought back, it holds nothing.
    if (!Recover(output, error)) return -2;
    delay = 0;
  }
  if (delay < 0) delay = 0;
  const uint64_t held = static_cast<uint64_t>(delay) * output->frameBytes;
  WaveOutOutlook after;
  output->services->outlook(output->queue, held, &after);
  output->services->played(output->queue, held);
  if (!after.out && held == 0) {
    // Seen at the time it was due: the device may report it only later, or never (the
    // PulseAudio plugin), and nothing wakes the thread again until the next write.
    if (snd_pcm_state(output->pcm.get()) == SND_PCM_STATE_RUNNING) RanDry(output);
    return -1;
  }
  const uint64_t frames =
      (held - (after.out ? std::min(held, after.nextHeld) : 0)) / output->frameBytes;
  return static_cast<int>(frames * 1000 / rate) + 1;
}

// Writer thread: the device can play nothing more. Every buffer goes back and later writes
// are refused; the thread serves resets and the close alone from now on.
void Broke(AlsaOutput* output, bool* broken) {
  if (*broken) return;
  *broken = true;
  output->services->fail(output->queue, 0);
}

void Write(AlsaOutput* output, unsigned rate) {
  std::vector<pollfd> fds(1 +
                          static_cast<size_t>(snd_pcm_poll_descriptors_count(output->pcm.get())));
  fds[0] = {output->wake.get(), POLLIN, 0};
  const int deviceFds = snd_pcm_poll_descriptors(output->pcm.get(), fds.data() + 1,
                                                 static_cast<unsigned>(fds.size() - 1));
  bool broken = deviceFds < 0;
  if (broken) {
    DiagnoseError("poll descriptors", deviceFds);
    output->services->fail(output->queue, 0);
  }
  for (;;) {
    bool running = false;
    {
      std::lock_guard lock(output->lock);
      if (output->closing) return;
      if (output->resetsDone != output->resetsAsked) {
        output->endedPause = output->services->reset(output->queue);
        output->dropAsked = true;
        output->resetsDone = output->resetsAsked;
        output->resetDone.notify_all();
      }
      if (output->dropAsked && !broken) {
        snd_pcm_drop(output->pcm.get());
        snd_pcm_prepare(output->pcm.get());
      }
      output->dropAsked = false;
      running = output->running;
    }
    // By default only a wake through the eventfd ends the wait.
    nfds_t watched = 1;
    int timeout = -1;
    if (running && !broken) {
      bool failed = false;
      const bool queueDry = Fill(output, &failed);
      const int returnMs = failed ? -2 : ReportPlayed(output, rate);
      if (returnMs == -2) {
        Broke(output, &broken);
      } else if (snd_pcm_state(output->pcm.get()) == SND_PCM_STATE_RUNNING) {
        if (!queueDry) watched = fds.size();  // the device wakes the thread when it has room
        timeout = returnMs;                   // and when the next buffer will have played
      }
    }
    if (poll(fds.data(), watched, timeout) < 0 && errno != EINTR) {
      DiagnoseError("poll", -errno);
      Broke(output, &broken);
      continue;
    }
    if ((fds[0].revents & POLLIN) != 0) Drained(output->wake.get());
    if (watched > 1 && deviceFds > 0) {
      unsigned short events = 0;
      if (snd_pcm_poll_descriptors_revents(output->pcm.get(), fds.data() + 1,
                                           static_cast<unsigned>(deviceFds), &events) < 0 ||
          (events & (POLLERR | POLLNVAL)) != 0) {
        // An error that recovery mends (a run dry) shows again, and is mended, in the next
        // fill; one that it cannot fails the device there.
        bool failed = false;
        if (snd_pcm_state(output->pcm.get()) == SND_PCM_STATE_DISCONNECTED) {
          Broke(output, &broken);
        } else if (!Fill(output, &failed) && failed) {
          Broke(output, &broken);
        }
      }
    }
  }
}

snd_pcm_format_t SampleFormat(uint16_t bits) {
  if (bits == 8) return SND_PCM_FORMAT_U8;
  return bits == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S32_LE;
}

// Starts as soon as it has a frame, so a file shorter than the device's buffer is heard too;
// wakes the writer once half the device's buffer is free, not at every period.
bool StartAtOnce(snd_pcm_t* pcm) {
  snd_pcm_uframes_t buffer = 0;
  snd_pcm_uframes_t period = 0;
  snd_pcm_sw_params_t* params = nullptr;
  snd_pcm_sw_params_alloca(&params);
  return snd_pcm_get_params(pcm, &buffer, &period) == 0 &&
         snd_pcm_sw_params_current(pcm, params) == 0 &&
         snd_pcm_sw_params_set_start_threshold(pcm, params, 1) == 0 &&
         snd_pcm_sw_params_set_avail_min(pcm, params, std::max(period, buffer / 2)) == 0 &&
         snd_pcm_sw_params(pcm, params) == 0;
}

// Runs `body` on a thread that takes no signal: the program's own handling of them stays as it
// is.
template <typename Body>
std::thread WithoutSignals(Body body) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::thread thread(std::move(body));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

// An open under way on its own thread. Whoever comes last of the opener and its waiter frees
// it; a PCM that opens after its waiter gave up is closed at once.
struct Opening {
  std::string name;
  WAVEFORMATEX format{};
  bool done = false;       // guarded by openings.lock
  bool abandoned = false;  // guarded by openings.lock
  MMRESULT result = MMSYSERR_ERROR;
  snd_pcm_t* pcm = nullptr;
};

struct Openings {
  std::mutex lock;
  std::condition_variable changed;
  bool cancelled = false;  // guarded by lock
};

Openings& TheOpenings() {
  // Never destroyed: an abandoned open may end after the program has.
  static auto* openings = new Openings;
  return *openings;
}

void OpenDevice(const std::shared_ptr<Opening>& opening) {
  snd_pcm_t* pcm = nullptr;
  MMRESULT result = MMSYSERR_NOERROR;
  const WAVEFORMATEX& format = opening->format;
  int error = snd_pcm_open(&pcm, opening->name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (error < 0) {
    DiagnoseError(opening->name.c_str(), error);
    pcm = nullptr;
    result = MMSYSERR_NODRIVER;
  } else if ((error = snd_pcm_set_params(pcm, SampleFormat(format.wBitsPerSample),
                                         SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                                         format.nSamplesPerSec, 1, kDeviceLatencyUs)) < 0 ||
             !StartAtOnce(pcm)) {
    DiagnoseError("the format", error < 0 ? error : -EINVAL);
    result = WAVERR_BADFORMAT;
  } else {
    ModuleDiagnose(host, "alsa", "playing on %s: %u-bit %u Hz, %u channels", opening->name.c_str(),
                   format.wBitsPerSample, format.nSamplesPerSec, format.nChannels);
  }
  Openings& openings = TheOpenings();
  std::lock_guard lock(openings.lock);
  if (opening->abandoned || result != MMSYSERR_NOERROR) {
    if (pcm != nullptr) snd_pcm_close(pcm);
    pcm = nullptr;
  }
  opening->pcm = pcm;
  opening->result = result;
  opening->done = true;
  openings.changed.notify_all();
}

// Opens device `name` for `format` within the bound; *pcm is set on success.
MMRESULT OpenWithin(const std::string& name, const WAVEFORMATEX& format, snd_pcm_t** pcm) {
  auto opening = std::make_shared<Opening>();
  opening->name = name;
  opening->format = format;
  WithoutSignals([opening] { OpenDevice(opening); }).detach();
  Openings& openings = TheOpenings();
  std::unique_lock lock(openings.lock);
  openings.changed.wait_for(lock, kOpenBound, [&] { return opening->done || openings.cancelled; });
  if (!opening->done) {
    opening->abandoned = true;
    return MMSYSERR_ERROR;
  }
  *pcm = opening->pcm;
  return opening->result;
}

void CancelOpens() {
  Openings& openings = TheOpenings();
  std::lock_guard lock(openings.lock);
  openings.cancelled = true;
  openings.changed.notify_all();
}

MMRESULT Open(const char* key, const WAVEFORMATEX& format, const WaveOutQueueServices* services,
              WaveOutQueue* queue, void** priv) {
  snd_pcm_t* pcm = nullptr;
  const MMRESULT result = OpenWithin(key[0] == '\0' ? "default" : key, format, &pcm);
  if (result != MMSYSERR_NOERROR) return result;
  auto output = std::make_unique<AlsaOutput>();
  output->pcm.reset(pcm);
  output->services = services;
  output->queue = queue;
  output->frameBytes = format.nBlockAlign;
  output->silence = format.wBitsPerSample == 8 ? 0x80 : 0;
  output->wake = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (output->wake.get() < 0) return MMSYSERR_NOMEM;
  output->chunk.resize(std::max<size_t>(kChunkBytes, output->frameBytes));
  AlsaOutput* writing = output.get();
  const unsigned rate = format.nSamplesPerSec;
  output->writer = WithoutSignals([writing, rate] { Write(writing, rate); });
  *priv = output.release();
  return MMSYSERR_NOERROR;
}

MMRESULT Close(void* priv) {
  std::unique_ptr<AlsaOutput> output(static_cast<AlsaOutput*>(priv));
  {
    std::lock_guard lock(output->lock);
    output->closing = true;
  }
  Wake(output.get());
  output->writer.join();
  return output->services->failureUnreported(output->queue) ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

void SetRunning(void* priv, bool running) {
  auto* output = static_cast<AlsaOutput*>(priv);
  {
    std::lock_guard lock(output->lock);
    output->running = running;
    // Pausing stops the sound at once: what the device holds is dropped.
    if (!running) output->dropAsked = true;
  }
  Wake(output);
}

void Start(void* priv) {
  SetRunning(priv, true);
}

void Pause(void* priv) {
  SetRunning(priv, false);
}

void Kick(void* priv) {
  Wake(static_cast<AlsaOutput*>(priv));
}

// The writer thread, the only one that takes, resets the queue and drops what the device
// holds; the reset returns when it has.
bool Reset(void* priv) {
  auto* output = static_cast<AlsaOutput*>(priv);
  std::unique_lock lock(output->lock);
  const uint64_t asked = ++output->resetsAsked;
  Wake(output);
  output->resetDone.wait(lock, [&] { return output->resetsDone >= asked; });
  return output->endedPause;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const WaveOutBackend rtplayer_waveout_backend = {
    kWaveOutBackendVersion, nullptr, &List, &Open, &Close, &Start, &Pause, &Kick, &Reset,
    &CancelOpens,           &Attach};
