// The SDL device: SDL's audio thread pulls from the queue through SDL's callback.
#include <SDL.h>
#include <dlfcn.h>

#include <memory>
#include <mutex>

#include "platform/waveout_backend.h"

namespace {

struct SdlOutput {
  SDL_AudioDeviceID device = 0;
  WaveOutQueue* queue = nullptr;
  uint8_t silence = 0;
};

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// When no sound server answers, SDL falls back to ALSA, whose library prints its own
// complaints on standard error; the user is to see only our fixed message. The handler is
// set on the library SDL will load (dlopen shares the one instance).
void QuietAlsa() {
  void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
  if (alsa == nullptr) return;
  using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
  using SetHandler = int (*)(Handler);
  if (auto set = reinterpret_cast<SetHandler>(dlsym(alsa, "snd_lib_error_set_handler"))) {
    set(&IgnoreAlsaError);
  }
  // Kept loaded: SDL may load and unload it later, and the handler must stay in place.
}

// SDL's audio subsystem is process-wide: it is started once, and its device list and its
// opening and closing of devices are used under this lock.
std::unique_lock<std::mutex> LockSdlAudio(bool* ready) {
  static std::mutex lock;
  static bool initialised = false;
  static bool available = false;
  std::unique_lock held(lock);
  if (!initialised) {
    initialised = true;
    QuietAlsa();
    available = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
  }
  *ready = available;
  return held;
}

void Callback(void* priv, Uint8* stream, int length) {
  auto* output = static_cast<SdlOutput*>(priv);
  WaveOutQueueFeed(output->queue, stream, static_cast<uint32_t>(length), output->silence);
}

SDL_AudioFormat SdlFormat(uint16_t bits) {
  if (bits == 8) return AUDIO_U8;
  return bits == 16 ? AUDIO_S16LSB : AUDIO_S32LSB;
}

// About 20 to 40 ms per callback: short enough that a buffer is done soon after it has
// played, and SDL's thread, which sleeps a callback's length, stops quickly at the close.
Uint16 CallbackFrames(uint32_t rate) {
  Uint16 frames = 1;
  while (frames < 8192 && frames * 2u <= rate / 25) frames *= 2;
  return frames;
}

MMRESULT Open(const WaveOutTarget& target, const WAVEFORMATEX& format, WaveOutQueue* queue,
              void** priv) {
  // SDL takes at most 8 channels, and its count is 8 bits wide.
  if (format.nChannels > 8) return WAVERR_BADFORMAT;
  auto output = std::make_unique<SdlOutput>();
  output->queue = queue;
  output->silence = format.wBitsPerSample == 8 ? 0x80 : 0;

  SDL_AudioSpec desired{};
  desired.freq = static_cast<int>(format.nSamplesPerSec);
  desired.format = SdlFormat(format.wBitsPerSample);
  desired.channels = static_cast<Uint8>(format.nChannels);
  desired.samples = CallbackFrames(format.nSamplesPerSec);
  desired.callback = &Callback;
  desired.userdata = output.get();

  bool ready = false;
  const auto lock = LockSdlAudio(&ready);
  if (!ready) return MMSYSERR_NODRIVER;
  const char* name = nullptr;
  if (target.id != WAVE_MAPPER) {
    if (target.id >= static_cast<uint32_t>(SDL_GetNumAudioDevices(0))) return MMSYSERR_BADDEVICEID;
    name = SDL_GetAudioDeviceName(static_cast<int>(target.id), 0);
    if (name == nullptr) return MMSYSERR_BADDEVICEID;
  }
  SDL_AudioSpec obtained{};
  // No changes allowed: SDL converts to whatever the device takes.
  output->device = SDL_OpenAudioDevice(name, 0, &desired, &obtained, 0);
  // SDL does not say whether it refused the format or the device; the format is likelier,
  // since the id has just been found.
  if (output->device == 0) return WAVERR_BADFORMAT;
  *priv = output.release();
  return MMSYSERR_NOERROR;
}

MMRESULT Close(void* priv) {
  std::unique_ptr<SdlOutput> output(static_cast<SdlOutput*>(priv));
  bool ready = false;
  const auto lock = LockSdlAudio(&ready);
  SDL_CloseAudioDevice(output->device);
  return MMSYSERR_NOERROR;
}

void Start(void* priv) {
  SDL_PauseAudioDevice(static_cast<SdlOutput*>(priv)->device, 0);
}

void Pause(void* priv) {
  SDL_PauseAudioDevice(static_cast<SdlOutput*>(priv)->device, 1);
}

}  // namespace

const WaveOutBackend kSdlBackend = {&Open, &Close, &Start, &Pause, nullptr};

uint32_t SdlOutputDeviceCount() {
  bool ready = false;
  const auto lock = LockSdlAudio(&ready);
  if (!ready) return 0;
  const int count = SDL_GetNumAudioDevices(0);
  return count > 0 ? static_cast<uint32_t>(count) : 0;
}

bool SdlOutputDeviceName(uint32_t id, std::string* name) {
  bool ready = false;
  const auto lock = LockSdlAudio(&ready);
  if (id == WAVE_MAPPER) {
    char* found = nullptr;
    SDL_AudioSpec spec{};
    if (ready && SDL_GetDefaultAudioInfo(&found, &spec, 0) == 0 && found != nullptr) {
      *name = found;
      SDL_free(found);
    } else {
      // Audio systems that cannot name their default device (ALSA) call it this.
      *name = "default";
    }
    return true;
  }
  if (!ready || id >= static_cast<uint32_t>(SDL_GetNumAudioDevices(0))) return false;
  const char* found = SDL_GetAudioDeviceName(static_cast<int>(id), 0);
  if (found == nullptr) return false;
  *name = found;
  return true;
}
