// SPDX-License-Identifier: GPL-3.0-or-later
// Diagnostics for maintainers: each library's own reason for a failure (errno, pa_strerror,
// snd_strerror, av_err2str), which backend and modules were chosen, the device opened and
// the formats agreed. Written to standard error as "rtplayer: AREA: TEXT" lines, and only when
// RTPLAYER_DEBUG=1 is in the environment or a front end has turned them on (rtplayer-cli -v):
// otherwise nothing is written, and the users' messages stay the fixed texts either way.
//
// Any thread; lines from different threads never interleave. A loadable module reaches these
// through the table its host hands it, never directly.
#pragma once

// Turns the diagnostics on for the rest of the process.
void EnableDiagnostics();
// True when diagnostics are written.
bool DiagnosticsEnabled();
// Writes "rtplayer: <area>: <text>" when enabled; `format` is printf's.
void Diagnose(const char* area, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The operating system's reason (an errno value) for the last service call on this thread that
// failed for one: the service notes it where it fails, and whoever reports that failure takes
// it, which clears it. 0 when there is none.
void NoteSystemError(int error);
int TakeSystemError();
