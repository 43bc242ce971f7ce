// ALSA's devices, for a machine where no sound server answers. Built as the module
// rtplayer-alsa.so and loaded only then.
//
// Each device has a writer thread that makes every call on its PCM: it takes from the queue
// as far as the device has room, reads the device's delay to say how much it still holds
// unplayed, and sleeps in poll on the device and on an eventfd through which the other
// threads wake it (a write, a start, a reset, the close).
#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "waveout_backend.h"

namespace {

constexpr unsigned kDeviceLatencyUs = 200000;  // what the device holds; the queue holds the rest
constexpr uint32_t kChunkBytes = 65536;

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool Usable() {
  // ALSA prints its own complaints on standard error; the user is to see only our messages.
  snd_lib_error_set_handler(&IgnoreAlsaError);
  return true;
}

struct Devices {
  std::mutex lock;
  std::vector<std::string> pcmNames;  // guarded by lock
  std::vector<std::string> names;     // guarded by lock
};

Devices& TheDevices() {
  static Devices devices;
  return devices;
}

// Every playback device of every card, as "plughw:CARD,DEVICE", so any format is converted.
uint32_t DeviceCount() {
  Devices& devices = TheDevices();
  std::lock_guard lock(devices.lock);
  devices.pcmNames.clear();
  devices.names.clear();
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* control = nullptr;
    if (snd_ctl_open(&control, ("hw:" + std::to_string(card)).c_str(), 0) < 0) continue;
    snd_ctl_card_info_t* cardInfo = nullptr;
    snd_pcm_info_t* pcmInfo = nullptr;
    snd_ctl_card_info_malloc(&cardInfo);
    snd_pcm_info_malloc(&pcmInfo);
    const std::string cardName =
        snd_ctl_card_info(control, cardInfo) == 0 ? snd_ctl_card_info_get_name(cardInfo) : "";
    int device = -1;
    while (snd_ctl_pcm_next_device(control, &device) == 0 && device >= 0) {
      snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
      snd_pcm_info_set_subdevice(pcmInfo, 0);
      snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_PLAYBACK);
      if (snd_ctl_pcm_info(control, pcmInfo) < 0) continue;
      devices.pcmNames.push_back("plughw:" + std::to_string(card) + "," + std::to_string(device));
      devices.names.push_back(cardName + ", " + snd_pcm_info_get_name(pcmInfo));
    }
    snd_pcm_info_free(pcmInfo);
    snd_ctl_card_info_free(cardInfo);
    snd_ctl_close(control);
  }
  return static_cast<uint32_t>(devices.names.size());
}

bool DeviceName(uint32_t id, std::string* name) {
  Devices& devices = TheDevices();
  std::lock_guard lock(devices.lock);
  if (id == WAVE_MAPPER) {
    *name = "Default: ALSA";
    return true;
  }
  if (id >= devices.names.size()) return false;
  *name = devices.names[id];
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
};

void Wake(AlsaOutput* output) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(output->wake.get(), &one, sizeof one);
}

void Drained(int wake) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(wake, &count, sizeof count);
}

// Writer thread. Brings the device back after an underrun or a suspend; false when it cannot be.
bool Recover(AlsaOutput* output, int error) {
  if (error == -EPIPE) output->services->underrun(output->queue);
  return snd_pcm_recover(output->pcm.get(), error, 1) == 0;
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
    // A writer's buffer that ends inside a frame: the frame is completed with silence.
    if (const size_t partial = got % output->frameBytes; partial != 0) {
      std::memset(data + got, output->silence, output->frameBytes - partial);
      got += static_cast<uint32_t>(output->frameBytes - partial);
    }
    const snd_pcm_sframes_t written =
        snd_pcm_writei(output->pcm.get(), data, got / output->frameBytes);
    if (written < 0 && !Recover(output, static_cast<int>(written))) {
      *broken = true;
      return false;
    }
  }
}

// Writer thread: says what the device still holds unplayed; returns it in milliseconds.
int ReportPlayed(AlsaOutput* output, unsigned rate) {
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(output->pcm.get(), &delay) < 0 || delay < 0) delay = 0;
  output->services->played(output->queue, static_cast<uint64_t>(delay) * output->frameBytes);
  return static_cast<int>(static_cast<uint64_t>(delay) * 1000 / rate);
}

void Write(AlsaOutput* output, unsigned rate) {
  std::vector<pollfd> fds(1 +
                          static_cast<size_t>(snd_pcm_poll_descriptors_count(output->pcm.get())));
  fds[0] = {output->wake.get(), POLLIN, 0};
  const int deviceFds = snd_pcm_poll_descriptors(output->pcm.get(), fds.data() + 1,
                                                 static_cast<unsigned>(fds.size() - 1));
  bool broken = false;
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
      if (output->dropAsked) {
        snd_pcm_drop(output->pcm.get());
        snd_pcm_prepare(output->pcm.get());
        output->dropAsked = false;
      }
      running = output->running;
    }
    // By default only a wake through the eventfd ends the wait.
    nfds_t watched = 1;
    int timeout = -1;
    if (running && !broken) {
      const bool queueDry = Fill(output, &broken);
      if (broken) {
        output->services->fail(output->queue);
      } else {
        const int heldMs = ReportPlayed(output, rate);
        if (snd_pcm_state(output->pcm.get()) == SND_PCM_STATE_RUNNING) {
          if (!queueDry) {
            watched = fds.size();  // the device wakes the thread when it has room
          } else {
            timeout = std::min(heldMs + 1, 50);  // to give back what plays meanwhile
          }
        }
      }
    }
    if (poll(fds.data(), watched, timeout) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) Drained(output->wake.get());
    if (watched > 1 && deviceFds > 0) {
      unsigned short events = 0;
      snd_pcm_poll_descriptors_revents(output->pcm.get(), fds.data() + 1,
                                       static_cast<unsigned>(deviceFds), &events);
    }
  }
}

snd_pcm_format_t SampleFormat(uint16_t bits) {
  if (bits == 8) return SND_PCM_FORMAT_U8;
  return bits == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S32_LE;
}

// Starts as soon as it has a frame, so a file shorter than the device's buffer is heard too.
bool StartAtOnce(snd_pcm_t* pcm) {
  snd_pcm_sw_params_t* params = nullptr;
  snd_pcm_sw_params_alloca(&params);
  return snd_pcm_sw_params_current(pcm, params) == 0 &&
         snd_pcm_sw_params_set_start_threshold(pcm, params, 1) == 0 &&
         snd_pcm_sw_params(pcm, params) == 0;
}

// The writer thread takes no signal: the program's own handling of them stays as it is.
std::thread StartWriter(AlsaOutput* output, unsigned rate) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::thread writer(&Write, output, rate);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return writer;
}

MMRESULT Open(const WaveOutTarget& target, const WAVEFORMATEX& format,
              const WaveOutQueueServices* services, WaveOutQueue* queue, void** priv) {
  std::string name = "default";
  if (target.id != WAVE_MAPPER) {
    Devices& devices = TheDevices();
    std::lock_guard lock(devices.lock);
    if (target.id >= devices.pcmNames.size()) return MMSYSERR_BADDEVICEID;
    name = devices.pcmNames[target.id];
  }
  auto output = std::make_unique<AlsaOutput>();
  output->services = services;
  output->queue = queue;
  output->frameBytes = format.nBlockAlign;
  output->silence = format.wBitsPerSample == 8 ? 0x80 : 0;
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return MMSYSERR_NODRIVER;
  }
  output->pcm.reset(pcm);
  if (snd_pcm_set_params(pcm, SampleFormat(format.wBitsPerSample), SND_PCM_ACCESS_RW_INTERLEAVED,
                         format.nChannels, format.nSamplesPerSec, 1, kDeviceLatencyUs) < 0 ||
      !StartAtOnce(pcm)) {
    return WAVERR_BADFORMAT;
  }
  output->wake = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (output->wake.get() < 0) return MMSYSERR_NOMEM;
  output->chunk.resize(std::max<size_t>(kChunkBytes, output->frameBytes));
  output->writer = StartWriter(output.get(), format.nSamplesPerSec);
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
  return MMSYSERR_NOERROR;
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
