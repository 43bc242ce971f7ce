// SPDX-License-Identifier: GPL-3.0-or-later
// The one process-wide record of playback state, its state bits, the sizing rules and
// RequestStop. The engine's own: front ends use engine.h.
//
// Ownership (which thread may touch what):
//  - Idle, and from WM_PLAYBACK_FINISHED on: the front end's thread owns every field.
//  - Starting (StartPlayback): the front end's thread fills the file, conversion and output
//    fields; the playback thread exists but acts on no message yet.
//  - Playing/Stopping: the playback thread owns fileInfo, dataRemaining, convertFlags,
//    convertedNext, convertedPending, fileHandle and the device buffers in its hands.
//    The front end's thread only sets FLAG_STOPPING (RequestStop) and resets the device.
//  - flags, deviceBuffersLive and failureShown are read by both threads: access them only
//    through the helpers below (atomic), never as plain fields.
// Work passes between the threads only through posted messages, which order memory.
#pragma once

#include <climits>
#include <cstdint>

#include "front_end.h"
#include "platform/acm.h"
#include "platform/fileio.h"
#include "platform/thread.h"
#include "platform/waveout.h"

constexpr uint32_t FLAG_PLAYING = 1;
constexpr uint32_t FLAG_STOPPING = 2;

// The source format buffer: the `fmt ` chunk's bytes as they stand.
union SourceFormatBuffer {
  WAVEFORMATEX format;
  uint8_t bytes[148];
};

// The largest `fmt ` chunk accepted.
constexpr uint32_t MAX_FORMAT_CHUNK = 146;

struct PlayerState {
  // User interface. The front end's port: the dialog's, or the terminal's.
  const FrontEnd* frontEndPort;
  uint32_t savedPriorityClass;
  char fileName[PATH_MAX];
  // The WAV file the playbacks play into instead of a device (the file device); empty for
  // the device of the selected list entry.
  char outputFileName[PATH_MAX];

  // File
  HMMIO fileHandle;
  MMCKINFO riffChunk;
  MMCKINFO dataChunk;
  SourceFormatBuffer sourceFormat;
  MMIOINFO fileInfo;
  // 64-bit: an RF64 file's data chunk may pass 4 GiB. One conversion consumes at most one file
  // buffer, so the counts per step stay 32-bit.
  uint64_t dataRemaining;

  // Conversion
  WAVEFORMATEX outputFormat;
  HACMSTREAM streamHandle;
  uint32_t convertFlags;
  uint8_t* sourceBuffer;
  uint32_t sourceBufferSize;
  uint8_t* convertedBuffer;
  uint32_t convertedBufferSize;
  uint8_t* convertedNext;
  uint32_t convertedPending;

  // Output
  HWAVEOUT waveOutHandle;
  uint32_t deviceBufferSize;
  int32_t deviceBuffersLive;  // both threads: use LoadBuffersLive / AddBuffersLive

  // Playback thread
  HTHREAD playbackThread;
  uint32_t playbackThreadId;
  uint32_t flags;  // both threads: use LoadFlags / SetFlagBits / ClearFlags
  // Set by ShowError, cleared as a playback is launched: a playback whose failure was shown
  // keeps no output. Both threads: use FailureShown / ForgetFailures.
  uint32_t failureShown;
};

// The record; zero-filled at start-up.
extern PlayerState player;

uint32_t LoadFlags();
void SetFlagBits(uint32_t bits);
void ClearFlags();
int32_t LoadBuffersLive();
// Adds `delta` and returns the new count.
int32_t AddBuffersLive(int32_t delta);
bool FailureShown();
void ForgetFailures();

// The smallest multiple of `step` (at least 1) not less than `value`, in 32-bit arithmetic.
uint32_t RoundUp(uint32_t value, uint32_t step);
// Bytes that `milliseconds` take in `format`, rounded to the nearest byte, then up to whole
// blocks. Callers guarantee nBlockAlign > 0.
uint32_t BytesForDuration(const WAVEFORMATEX& format, uint32_t milliseconds);

// Ends a running playback early: sets FLAG_STOPPING, then resets the device if one is open
// (the buffer fill also runs without one, in the conversion tests, the fuzz harness and the
// convert bench). Either thread.
void RequestStop();

// Shows a fixed message through the front end and returns when it has been acknowledged; the
// playback under way has failed (FailureShown).
void ShowError(const char* text);
