// SPDX-License-Identifier: GPL-3.0-or-later
// What the front ends use of the engine: their whole surface. Everything here runs on the
// front end's thread.
//
// A front end fills a FrontEnd, attaches it (AttachFrontEnd), and then:
//  - File pressed while idle: the user picks a file (SetFileToPlay), then LaunchPlayback();
//    when it returns true a WM_PLAYBACK_FINISHED will come. When the user cancels the choice
//    instead: RestoreIdleState().
//  - File pressed while playing (PlaybackPlaying()): StopPlayback().
//  - WM_PLAYBACK_FINISHED delivered: FinishPlayback(), then the controls go back to idle
//    (list enabled, File control reading "Файл" and enabled).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "front_end.h"

// Installs the front end's port and takes the process's priority class as the one every
// playback gives back. Once, before any playback; the port outlives every playback.
void AttachFrontEnd(const FrontEnd* frontEnd);

// The texts of the output device list: entry 0 the default device, then every device in id
// order. A device whose name cannot be had gets an empty text.
std::vector<std::string> OutputEntryTexts();

// Plays every later playback into a WAV file at `path` (the file device: exact output, as
// fast as the engine runs) instead of the selected device; an empty path chooses the device
// again. The file is written beside `path` and put in its place at the finish of a playback
// that played to its end or was stopped (StopPlayback), as a WAV file of what was played; a
// playback that fails leaves `path` as it was. A `path` that is no regular file (/dev/null, a
// FIFO) is written directly. Not while a playback runs. False, after "Невозможно открыть
// устройство воспроизведения" has been shown, when the path is longer than the platform allows.
bool SetOutputFile(const std::string& path);

// The file the next playback plays. False, after "Невозможно открыть файл" has been shown,
// when the path is longer than the platform allows.
bool SetFileToPlay(const std::string& path);
// The file last set (empty at first): the file chooser opens on it.
std::string FileToPlay();

// The File command: asks for 1 ms timer resolution, raises the process priority class,
// creates the playback thread and starts the playback. On success: showPlaying, playing,
// the priming reset. On failure: the failed-start teardown. Then the priority class comes
// back unless a stop is already under way. Returns false only when no thread could be made:
// the message has been shown, the timer resolution given back and the File control enabled;
// no finish will come.
bool LaunchPlayback();

// The Stop command: while a playback runs, stops the sound at once; its finish follows.
void StopPlayback();

// Called by the port's showError, on the thread that called it: the operating system's reason
// for the failure being shown ("Permission denied"), or empty when it has none.
std::string ShownFailureReason();

// Writes maintainers' diagnostics to standard error from now on (the library's own reason for
// each failure, the backend, modules and device chosen), as RTPLAYER_DEBUG=1 does.
void EnableDiagnosticOutput();

// Any thread, for a front end that is about to exit (on a signal): an output device's open
// under way gives up at once (the start then fails as if the device could not be opened), and
// so does every later one.
void AbandonDeviceOpens();

// The handling of WM_PLAYBACK_FINISHED: gives back the timer resolution, closes the thread,
// closes device, stream and file (showing the message of an output the device could not
// complete), frees the data buffers, restores the priority class and clears the state.
void FinishPlayback();

// Gives the process back its priority class and enables the File control.
void RestoreIdleState();

// True from a successful start until its finish: the File control means Stop.
bool PlaybackPlaying();
// True once a stop has been requested (by the user or by a failure), until the finish.
bool PlaybackStopping();
// True from LaunchPlayback's thread creation until FinishPlayback: a finish is still to come,
// so no new playback may start yet.
bool PlaybackPending();

// A format as the front ends show it.
struct AudioFormatSummary {
  uint16_t formatTag;  // the WAVE format tag; 1 is PCM
  uint16_t channels;
  uint32_t samplesPerSecond;
  uint16_t bitsPerSample;
};

// What the running playback plays: the file's format, the PCM it is converted to, and the
// data chunk's length in seconds (0 when the header gives no byte rate). While playing.
struct PlaybackDescription {
  AudioFormatSummary source;
  AudioFormatSummary output;
  double seconds;
};
PlaybackDescription DescribePlayback();

// Seconds of sound the output has played so far, counted in the PCM it took (the file device:
// written), so exact where the header gives no byte rate. From a successful start until
// FinishPlayback; 0 when no output is open.
double PlaybackSecondsPlayed();

// True once a playback has needed the codec module (any format but PCM, float, A-law, mu-law,
// IMA and MS ADPCM and GSM 6.10), which stays loaded, with the memory it holds, for the life
// of the process.
bool CodecModuleLoaded();

// A message queue for a front end that has no event loop of its own (the terminal): created
// for the calling thread, which then waits on it; any thread may post to it.
uint32_t CreateFrontEndQueue();
void PostFrontEndMessage(uint32_t queue, uint32_t message);
// Waits for the calling thread's next message; 0 when the thread has no queue.
uint32_t WaitFrontEndMessage();
