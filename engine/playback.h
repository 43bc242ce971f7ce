// The playback thread and the start and teardown of a playback.
#pragma once

#include <cstdint>

// The playback thread's entry: keeps the device fed until the data runs out, a stop, or a
// failure, then closes the file and posts WM_PLAYBACK_FINISHED. `param` is unused; returns 0.
uint32_t PlaybackThreadProc(void* param);

// The start's first half, on the front end's thread (or wherever a file is played without a
// device): clears the conversion state, opens and walks the file, opens the conversion stream
// and its two buffers, and binds the file buffer. Non-zero on success; on failure the failing
// step has shown its message and what was acquired is still held (CloseHandles and
// ReleaseBuffers take it apart).
int OpenSource();

// Front end's thread. The start sequence: file, conversion stream and buffers, file buffer,
// device and its four buffers, paused. Non-zero on success; on failure the failing step has
// shown its message and everything acquired is still held (run ReleaseBuffers).
int StartPlayback();

// Stops the device if open, frees the data buffers, and asks the thread to quit when no
// device buffer is left to do it. Never while a started playback runs.
void ReleaseBuffers();

// Closes device, stream and file. Only after the playback thread has ended. The output of a
// playback that started and showed no failure is kept (WaveOutKeepOutput). When the device
// reports at its close that it could not complete the output of a playback that started
// (FLAG_PLAYING still set), shows kCannotCloseDeviceText.
void CloseHandles();
