// SPDX-License-Identifier: GPL-3.0-or-later
#include "waveout.h"

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/faults.h"
#include "platform/module.h"
#include "platform/module_host.h"
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
void NoCancel() {}
WaveOutReach Serving() {
  return WaveOutReach::kServing;
}
bool NoList(std::string* /*defaultName*/, std::vector<WaveOutDeviceName>* /*devices*/) {
  return true;
}

// The optional entries are filled once here, so no call needs a null check.
WaveOutBackend Completed(WaveOutBackend backend) {
  if (backend.reach == nullptr) backend.reach = Serving;
  if (backend.list == nullptr) backend.list = NoList;
  if (backend.pause == nullptr) backend.pause = Nothing;
  if (backend.kick == nullptr) backend.kick = Nothing;
  if (backend.cancelOpens == nullptr) backend.cancelOpens = NoCancel;
  return backend;
}

const WaveOutBackend& FileBackend() {
  static const WaveOutBackend backend = Completed(kFileBackend);
  return backend;
}

// Where no device backend can serve: the list holds the default entry alone, and it cannot be
// opened.
MMRESULT NoDriver(const char* /*key*/, const WAVEFORMATEX& /*format*/,
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

const WaveOutBackend kNoDevices =
    Completed({kWaveOutBackendVersion, nullptr, nullptr, &NoDriver, &NoClose, &Nothing, nullptr,
               nullptr, &NoReset, nullptr, nullptr});

// Set for good once the opens are cancelled.
std::atomic<bool> opensCancelled{false};

// The table of module `name`, of this build, or null; loaded once.
const WaveOutBackend* ModuleBackend(const char* name) {
  const auto* table =
      static_cast<const WaveOutBackend*>(LoadModuleSymbol(name, kWaveOutBackendSymbol));
  if (table == nullptr || table->version != kWaveOutBackendVersion) {
    Diagnose("waveout", "module %s: %s", name, table == nullptr ? "not loaded" : "another version");
    return nullptr;
  }
  if (table->attach != nullptr) table->attach(TheModuleHost());
  return table;
}

const WaveOutBackend* PulseBackend() {
  static const WaveOutBackend* const backend = [] {
    const WaveOutBackend* table = ModuleBackend("pulse");
    return table != nullptr ? new WaveOutBackend(Completed(*table)) : nullptr;
  }();
  return backend;
}

const WaveOutBackend* AlsaBackend() {
  static const WaveOutBackend* const backend = [] {
    const WaveOutBackend* table = ModuleBackend("alsa");
    return table != nullptr ? new WaveOutBackend(Completed(*table)) : nullptr;
  }();
  return backend;
}

// The real devices, chosen again each time: the sound server's when one answers; ALSA's when
// none listens. A server that took the connection and then kept silent gets no ALSA either:
// ALSA's default device on a desktop is the server's plugin, which would wait on it for half a
// minute. Each library is loaded only when first needed.
const WaveOutBackend& DeviceBackend() {
  if (opensCancelled.load()) return kNoDevices;
  if (const WaveOutBackend* pulse = PulseBackend()) {
    // Cancelled while the module loaded: CancelWaveOutOpens may not have seen it loaded.
    if (opensCancelled.load()) pulse->cancelOpens();
    switch (pulse->reach()) {
      case WaveOutReach::kServing:
        Diagnose("waveout", "devices: the sound server's");
        return *pulse;
      case WaveOutReach::kUnresponsive:
        Diagnose("waveout", "devices: none, the sound server does not answer");
        return kNoDevices;
      case WaveOutReach::kAbsent:
        break;
    }
  }
  const WaveOutBackend* alsa = AlsaBackend();
  if (alsa != nullptr && alsa->reach() == WaveOutReach::kServing) {
    Diagnose("waveout", "devices: ALSA's, no sound server listens");
    return *alsa;
  }
  Diagnose("waveout", "devices: none");
  return kNoDevices;
}

// The device list last read: entry 0 the default device, entry i device i - 1. Each entry
// remembers the backend that listed it, so an id means the device the user saw.
struct ListEntry {
  const WaveOutBackend* backend;
  std::string key;
  std::string name;
};

struct DeviceList {
  std::mutex lock;
  bool read = false;               // guarded by lock
  std::vector<ListEntry> entries;  // guarded by lock
};

DeviceList& TheList() {
  // Never destroyed: a thread may still list while the process ends.
  static DeviceList* list = new DeviceList;
  return *list;
}

// List's lock held.
void ReadList(DeviceList& list) {
  const WaveOutBackend& backend = DeviceBackend();
  std::string defaultName;
  std::vector<WaveOutDeviceName> devices;
  if (!backend.list(&defaultName, &devices)) devices.clear();
  list.entries.clear();
  list.entries.push_back(
      {&backend, "", defaultName.empty() ? "Default" : "Default: " + defaultName});
  for (WaveOutDeviceName& device : devices) {
    list.entries.push_back({&backend, std::move(device.key), std::move(device.description)});
  }
  list.read = true;
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
  DeviceList& list = TheList();
  std::lock_guard lock(list.lock);
  ReadList(list);
  return static_cast<uint32_t>(list.entries.size() - 1);
}

MMRESULT waveOutGetDevCapsA(uint32_t id, WAVEOUTCAPSA* caps, uint32_t /*cb*/) {
  DeviceList& list = TheList();
  std::lock_guard lock(list.lock);
  if (!list.read) ReadList(list);
  const uint32_t entry = id + 1;  // WAVE_MAPPER is entry 0
  if (entry >= list.entries.size()) return MMSYSERR_BADDEVICEID;
  *caps = WAVEOUTCAPSA{};
  CopyName(list.entries[entry].name, caps->szPname, sizeof caps->szPname);
  return MMSYSERR_NOERROR;
}

namespace {

MMRESULT Open(const WaveOutBackend& backend, const char* key, uint32_t id, HWAVEOUT* device,
              const WAVEFORMATEX* format, uint32_t callbackThreadId) {
  *device = nullptr;
  if (ServiceCallFails("waveOutOpen")) return MMSYSERR_ERROR;
  if (!Playable(*format)) return WAVERR_BADFORMAT;
  if (opensCancelled.load()) return MMSYSERR_ERROR;

  auto* opened = new WaveOutDevice{};
  opened->backend = &backend;
  opened->id = id;
  opened->queue.device = opened;
  opened->queue.callbackThread = callbackThreadId;
  const MMRESULT result =
      backend.open(key, *format, &kWaveOutQueueServices, &opened->queue, &opened->priv);
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
  *device = nullptr;
  if (id == WAVE_MAPPER) {
    // The default device is wherever sound goes now, whatever the list said.
    return Open(DeviceBackend(), "", id, device, format, callbackThreadId);
  }
  ListEntry entry;
  {
    DeviceList& list = TheList();
    std::lock_guard lock(list.lock);
    // A front end that plays without listing first means the devices there are now.
    if (!list.read) ReadList(list);
    if (id + 1 >= list.entries.size()) return MMSYSERR_BADDEVICEID;
    entry = list.entries[id + 1];
  }
  return Open(*entry.backend, entry.key.c_str(), id, device, format, callbackThreadId);
}

MMRESULT OpenFileDevice(HWAVEOUT* device, const char* path, const WAVEFORMATEX* format,
                        uint32_t callbackThreadId, uint32_t /*flags*/) {
  return Open(FileBackend(), path, WAVE_MAPPER, device, format, callbackThreadId);
}

void CancelWaveOutOpens() {
  opensCancelled.store(true);
  if (ModuleLoaded("pulse")) {
    if (const WaveOutBackend* pulse = PulseBackend()) pulse->cancelOpens();
  }
  if (ModuleLoaded("alsa")) {
    if (const WaveOutBackend* alsa = AlsaBackend()) alsa->cancelOpens();
  }
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
