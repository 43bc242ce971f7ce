// SPDX-License-Identifier: GPL-3.0-or-later
// Loadable modules: a heavy library (FFmpeg, ALSA) is mapped into the process only when a
// file or a machine needs it. A module is one shared object, rtplayer-NAME.so, exporting one
// table under a symbol of its layer's choosing; the table begins with a version field that
// the layer checks (modules are built with the program, so nothing more is negotiated).
//
// The module is looked for beside the running program (the build tree keeps programs and
// modules in one folder) and then in the installed library folder, found from the program's
// own place, so no environment variable is needed. A module is loaded once and kept for the
// life of the process. Thread-safe.
#pragma once

// The address of `symbol` in module `name`, loading it at the first call; null when the
// module cannot be found or loaded or lacks the symbol (then every later call for that module
// gives null at once, without another attempt).
const void* LoadModuleSymbol(const char* name, const char* symbol);

// True once module `name` has been loaded into this process (for tests and benchmarks).
bool ModuleLoaded(const char* name);
