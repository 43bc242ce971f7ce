// SPDX-License-Identifier: GPL-3.0-or-later
// The sound stack a device test runs on, chosen by RTPLAYER_TEST_STACK (CTest registers the
// device tests once per stack):
//  - pulse (the default): the PulseAudio test daemon (scripts/pulse-test-daemon);
//  - pipewire: PipeWire with its PulseAudio service (scripts/pipewire-test-daemon);
//  - alsa: the ALSA backend, through the PulseAudio plugin into the test daemon's sinks, with
//    an ALSA configuration of the tests' own that names the daemon, while the player's
//    PULSE_SERVER points at no server.
// Every stack has the sinks rtplayer_a (the default) and rtplayer_b, listed in that order.
#pragma once

#include <string>

// Points this process (and the programs it starts) at the stack; once, before any device is
// used. False when the stack's daemon is not running (the test is then skipped).
bool UseTestSoundStack();

// The stack's name, for messages.
std::string TestSoundStack();

// The server that parec and pactl must name (--server=) to reach the sinks' monitors.
std::string MonitorServer();

// What entry 0 of the device list reads on this stack.
std::string DefaultEntryName();

// Whether the player reaches the sinks through a sound server (pactl's modules are its own).
bool StackIsSoundServer();
