// SPDX-License-Identifier: GPL-3.0-or-later
// Wave output devices: the sound server's (PulseAudio or PipeWire), or ALSA's when no server
// answers, plus a file device for exact output.
//
// Calls for one open device may come from two threads at once (the playback thread
// writes, unprepares; the front end's thread resets). Every buffer the device is done
// with, or that a reset returns, is posted to the callback thread as MM_WOM_DONE with the
// WAVEHDR's address in lParam. A buffer is done when the device has played its last byte (the
// sound server has read it), so the end of the last buffer is heard before it comes back.
//
// Arguments are as the classic calls take them: handles this service gave, valid pointers,
// cb the record's size, flags as stated. None of that is checked; formats and the devices'
// answers are.
#pragma once

#include <cstdint>

#include "waveout_types.h"

constexpr uint32_t MAXPNAMELEN = 32;

struct WAVEOUTCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];  // zero-terminated display name, at most 31 bytes
  uint32_t dwFormats;
  uint16_t wChannels;
  uint16_t wReserved1;
  uint32_t dwSupport;
};

// The device list is this service's own, the same whichever backend fills it: the sound
// server's sinks, in its order, when a server answers; else ALSA's devices (those of its
// configuration that have a description, then the cards' devices), when no server listens.
// The backend is chosen again at every listing and at every open of the default device, so a
// server that comes up later is used from then on. A server that does not answer costs a
// bounded wait (about a second), one that is absent none. Front end's thread.

// Number of output devices; the default device is not counted. Reads the list afresh: the ids
// that later calls take are those of the list last read, each meaning the device it named
// then, on the backend that listed it. The first call loads the device library.
uint32_t waveOutGetNumDevs();

// Capabilities of device `id` (0 .. n-1, or WAVE_MAPPER for the default device, whose name
// says it is the default: "Default: " and what it plays on, the default sink's description or
// "ALSA"; "Default" alone when nothing can play). Names are cut to 31 bytes without splitting
// a UTF-8 sequence. cb is sizeof(WAVEOUTCAPSA); MMSYSERR_BADDEVICEID for an id not in the
// list. Reads the list first if it has never been read.
MMRESULT waveOutGetDevCapsA(uint32_t id, WAVEOUTCAPSA* caps, uint32_t cb);

// Opens device `id` for PCM `format`, posting notifications to thread `callbackThreadId`
// (flags CALLBACK_THREAD): MM_WOM_OPEN now, MM_WOM_DONE for each buffer, MM_WOM_CLOSE
// at the close. WAVE_MAPPER opens the default device of the backend chosen now; another id is
// looked up in the list last read (read now if it never was). Every wait on the server or the
// device is bounded (a stream that is not ready within 2 s fails the open). The device starts
// running (not paused). Any result but MMSYSERR_NOERROR
// leaves *device null: WAVERR_BADFORMAT for a format the device cannot take (not PCM; 0, or
// more channels than it takes; other than 8, 16 or 32 bits; inconsistent block alignment or byte
// rate; a rate the device refuses), MMSYSERR_BADDEVICEID for an unknown id. Failures can be
// injected as "waveOutOpen".
MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t id, const WAVEFORMATEX* format,
                     uint32_t callbackThreadId, uintptr_t instance, uint32_t flags);

// rtplayer's own, beside the classic calls. Opens the file device for `format` as waveOutOpen
// opens a device (the same notifications, results and injected failures): it writes the PCM
// it is given to a WAV file at `path` and hands each buffer back as soon as it is written, so a
// playback runs as fast as the engine can go and its output is exact. It takes any channel count.
// The file holds exactly the bytes played (buffers returned by a reset are not played): a canonical
// 44-byte-header WAV file (plus a pad byte after odd data) whose sizes are written at the close, an
// RF64 file once the PCM passes 4 GiB. It is written beside `path` (ReplacementFile: a new file in
// the same folder) and renamed over it at the close, only when WaveOutKeepOutput was called and the
// file is complete; else it is removed and a file at `path` stays as it was. A `path` that is no
// regular file (/dev/null, /dev/full, a FIFO) is written directly. An output that cannot be
// written fails the device.
MMRESULT OpenFileDevice(HWAVEOUT* device, const char* path, const WAVEFORMATEX* format,
                        uint32_t callbackThreadId, uint32_t flags);

// Stops playing at once: buffers queued, and those written from now on, are held, not
// played, until the next reset.
MMRESULT waveOutPause(HWAVEOUT device);
// Marks a buffer prepared (WHDR_PREPARED); a buffer is prepared before its first write and
// unprepared when it is done with. cb is sizeof(WAVEHDR), here and below.
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t cb);
// Queues a prepared buffer; a buffer that came back may be written again without being
// prepared anew, with any dwBufferLength up to its first one. Fails with WAVERR_STILLPLAYING
// for a buffer still queued, or MMSYSERR_ERROR once the device's output has failed (the file
// device could not write, the sink has gone; every queued buffer then comes back). Failures
// can be injected as "waveOutWrite".
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t cb);
// A device whose server stops answering while it plays, or whose device fails, fails as a
// sink that has gone does: every queued buffer comes back and the next write is refused.

// Stops the sound at once (what the device holds is dropped); every buffer queued when the
// reset begins comes back at once as MM_WOM_DONE, in queue order, exactly once; a buffer
// another thread writes meanwhile is played or returned, never lost. Afterwards the device is
// not paused.
MMRESULT waveOutReset(HWAVEOUT device);
// Clears WHDR_PREPARED of a buffer that is not queued.
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t cb);
// Closes the device without waiting for anything to play; fails with WAVERR_STILLPLAYING while
// buffers are queued (the device then stays open). Any other error still closes: the file
// device could not complete its file (its header, or data that no refused waveOutWrite has
// reported yet, so each failure of the output is reported once). Not while another thread uses
// the device.
MMRESULT waveOutClose(HWAVEOUT device);

// Not a classic call: the writer's word that what it has played is its result, given after
// its last write and before the close, from the thread that closes. The file device then keeps
// its file (see OpenFileDevice); other devices have nothing to keep.
MMRESULT WaveOutKeepOutput(HWAVEOUT device);

// Any thread: every open under way gives up at once with MMSYSERR_ERROR, and so does every
// later one but the file device's. For a front end that is about to exit.
void CancelWaveOutOpens();

// The id the device was opened with (WAVE_MAPPER for the default device).
MMRESULT waveOutGetID(HWAVEOUT device, uint32_t* id);

// How many times the running device ran dry (for tests and benchmarks).
uint32_t WaveOutUnderruns(HWAVEOUT device);

// Not a classic call (waveOutGetPosition counts in 32 bits and restarts at a reset): the bytes
// of PCM the device has played since it was opened, for the file device those written. Bytes
// a reset dropped are not counted. Any thread.
uint64_t WaveOutBytesPlayed(HWAVEOUT device);
