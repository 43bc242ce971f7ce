#include "waveout.h"

#include <climits>
#include <mutex>
#include <string>

#include "platform/faults.h"
#include "platform/module.h"
#include "platform/thread.h"
#include "waveout_backend.h"
#include "waveout_queue.h"

struct WaveOutDevice {
  // Immutable after open.
  const WaveOutBackend* backend;
  void* priv;
  uint32_t id;

  // Held around a pause or a reset, so the backend's start and pause come in the order of
  // the queue's changes.
  std::mutex control;
  WaveOutQueue queue;
};

namespace {

void Nothing(void* /*priv*/) {}
bool Always() {
  return true;
}
uint32_t NoDevices() {
  return 0;
}
bool NoDeviceName(uint32_t /*id*/, std::string* /*name*/) {
  return false;
}

// The optional entries are filled once here, so no call needs a null check.
WaveOutBackend Completed(WaveOutBackend backend) {
  if (backend.usable == nullptr) backend.usable = Always;
  if (backend.deviceCount == nullptr) backend.deviceCount = NoDevices;
  if (backend.deviceName == nullptr) backend.deviceName = NoDeviceName;
  if (backend.pause == nullptr) backend.pause = Nothing;
  if (backend.kick == nullptr) backend.kick = Nothing;
  return backend;
}

const WaveOutBackend& FileBackend() {
  static const WaveOutBackend backend = Completed(kFileBackend);
  return backend;
}

// Where no device backend can be loaded: the list holds the default entry alone, and it
// cannot be opened.
bool OnlyTheDefaultName(uint32_t id, std::string* name) {
  if (id != WAVE_MAPPER) return false;
  *name = "default";
  return true;
}

MMRESULT NoDriver(const WaveOutTarget& /*target*/, const WAVEFORMATEX& /*format*/,
                  const WaveOutQueueServices* /*services*/, WaveOutQueue* /*queue*/,
                  void** /*priv*/) {
  return MMSYSERR_NODRIVER;
}

MMRESULT NoClose(void* /*priv*/) {
  return MMSYSERR_NOERROR;
}

bool NoReset(void* /*priv*/) {
  return false;
}

const WaveOutBackend kNoDevices = {kWaveOutBackendVersion,
                                   nullptr,
                                   nullptr,
                                   &OnlyTheDefaultName,
                                   &NoDriver,
                                   &NoClose,
                                   &Nothing,
                                   nullptr,
                                   nullptr,
                                   &NoReset};

// The backend of module `name`, when it loads, is of this build and can serve.
bool LoadBackend(const char* name, WaveOutBackend* backend) {
  const auto* table =
      static_cast<const WaveOutBackend*>(LoadModuleSymbol(name, kWaveOutBackendSymbol));
  if (table == nullptr || table->version != kWaveOutBackendVersion) return false;
  *backend = Completed(*table);
  return backend->usable();
}

// The real devices: the sound server's when one answers, else ALSA's. Each library is loaded
// only when a device is first listed or opened, and the choice holds for the process.
const WaveOutBackend& DeviceBackend() {
  static const WaveOutBackend backend = [] {
    WaveOutBackend chosen{};
    if (LoadBackend("pulse", &chosen) || LoadBackend("alsa", &chosen)) return chosen;
    return Completed(kNoDevices);
  }();
  return backend;
}

bool Playable(const WAVEFORMATEX& format) {
  const uint32_t bits = format.wBitsPerSample;
  // How many channels a device takes is the backend's to judge.
  return format.wFormatTag == WAVE_FORMAT_PCM && format.nChannels >= 1 &&
         (bits == 8 || bits == 16 || bits == 32) &&
         format.nBlockAlign == format.nChannels * bits / 8 && format.nSamplesPerSec >= 1 &&
         format.nSamplesPerSec <= INT32_MAX &&
         static_cast<uint64_t>(format.nAvgBytesPerSec) ==
             static_cast<uint64_t>(format.nSamplesPerSec) * format.nBlockAlign;
}

// Cuts `name` to at most `size` - 1 bytes without splitting a UTF-8 sequence.
void CopyName(const std::string& name, char* out, size_t size) {
  size_t length = name.size() < size ? name.size() : size - 1;
  if (length < name.size()) {
    while (length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
  }
  name.copy(out, length);
  out[length] = '\0';
}

}  // namespace

uint32_t waveOutGetNumDevs() {
  return DeviceBackend().deviceCount();
}

MMRESULT waveOutGetDevCapsA(uint32_t id, WAVEOUTCAPSA* caps, uint32_t /*cb*/) {
  std::string name;
  if (!DeviceBackend().deviceName(id, &name)) return MMSYSERR_BADDEVICEID;
  *caps = WAVEOUTCAPSA{};
  CopyName(name, caps->szPname, sizeof caps->szPname);
  return MMSYSERR_NOERROR;
}

namespace {

MMRESULT Open(const WaveOutBackend& backend, const WaveOutTarget& target, HWAVEOUT* device,
              const WAVEFORMATEX* format, uint32_t callbackThreadId) {
  *device = nullptr;
  if (ServiceCallFails("waveOutOpen")) return MMSYSERR_ERROR;
  if (!Playable(*format)) return WAVERR_BADFORMAT;

  auto* opened = new WaveOutDevice{};
  opened->backend = &backend;
  opened->id = target.id;
  opened->queue.device = opened;
  opened->queue.callbackThread = callbackThreadId;
  const MMRESULT result =
      backend.open(target, *format, &kWaveOutQueueServices, &opened->queue, &opened->priv);
  if (result != MMSYSERR_NOERROR) {
    delete opened;
    return result;
  }
  backend.start(opened->priv);
  PostThreadMessageA(callbackThreadId, MM_WOM_OPEN, reinterpret_cast<uintptr_t>(opened), 0);
  *device = opened;
  return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t id, const WAVEFORMATEX* format,
                     uint32_t callbackThreadId, uintptr_t /*instance*/, uint32_t /*flags*/) {
  return Open(DeviceBackend(), WaveOutTarget{id, nullptr}, device, format, callbackThreadId);
}

MMRESULT waveOutOpenFile(HWAVEOUT* device, const char* path, const WAVEFORMATEX* format,
                         uint32_t callbackThreadId, uint32_t /*flags*/) {
  return Open(FileBackend(), WaveOutTarget{WAVE_MAPPER, path}, device, format, callbackThreadId);
}

MMRESULT waveOutPause(HWAVEOUT device) {
  std::lock_guard control(device->control);
  if (WaveOutQueuePause(&device->queue)) device->backend->pause(device->priv);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t /*cb*/) {
  return WaveOutQueuePrepare(&device->queue, header);
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t /*cb*/) {
  if (ServiceCallFails("waveOutWrite")) return MMSYSERR_ERROR;
  const MMRESULT result = WaveOutQueueWrite(&device->queue, header);
  if (result == MMSYSERR_NOERROR) device->backend->kick(device->priv);
  return result;
}

MMRESULT waveOutReset(HWAVEOUT device) {
  std::lock_guard control(device->control);
  if (device->backend->reset(device->priv)) device->backend->start(device->priv);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t /*cb*/) {
  return WaveOutQueueUnprepare(&device->queue, header);
}

MMRESULT waveOutClose(HWAVEOUT device) {
  if (!WaveOutQueueEmpty(&device->queue)) return WAVERR_STILLPLAYING;
  const MMRESULT result = device->backend->close(device->priv);
  PostThreadMessageA(device->queue.callbackThread, MM_WOM_CLOSE,
                     reinterpret_cast<uintptr_t>(device), 0);
  delete device;
  return result;
}

MMRESULT WaveOutKeepOutput(HWAVEOUT device) {
  WaveOutQueueKeep(&device->queue);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetID(HWAVEOUT device, uint32_t* id) {
  *id = device->id;
  return MMSYSERR_NOERROR;
}

uint32_t WaveOutUnderruns(HWAVEOUT device) {
  return WaveOutQueueUnderruns(&device->queue);
}

uint64_t WaveOutBytesPlayed(HWAVEOUT device) {
  return WaveOutQueueBytesPlayed(&device->queue);
}
