// SPDX-License-Identifier: GPL-3.0-or-later
// The start of a playback and its teardown, in their fixed orders.
#pragma once

// The start's first half, on the front end's thread (or wherever a file is played without a
// device): clears the conversion state, opens and walks the file, opens the conversion stream
// and its two buffers, and binds the file buffer. True on success; on failure the failing
// step has shown its message and what was acquired is still held (CloseHandles and
// ReleaseBuffers take it apart).
bool OpenSource();

// Front end's thread. The start sequence: file, conversion stream and buffers, file buffer,
// device and its four buffers, paused. True on success; on failure the failing step has
// shown its message and everything acquired is still held (run ReleaseBuffers).
bool StartPlayback();

// Stops the device if open, frees the data buffers, and asks the thread to quit when no
// device buffer is left to do it. Never while a started playback runs.
void ReleaseBuffers();

// Closes device, stream and file. Only after the playback thread has ended. The output of a
// playback that started and showed no failure is kept (WaveOutKeepOutput). When the device
// reports at its close that it could not complete the output of a playback that started
// (FLAG_PLAYING still set), shows kCannotCloseDeviceText.
void CloseHandles();
