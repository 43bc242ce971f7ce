// What the front ends use of the engine: the state record and its port (player_state.h),
// and the playback session below. Everything here runs on the front end's thread.
//
// A front end fills a FrontEnd, stores it in player.dialogWindow, and then:
//  - File pressed while idle: the user picks a file into player.fileName, then
//    LaunchPlayback(); when it returns true a WM_PLAYBACK_FINISHED will come. When the user
//    cancels the choice instead: RestoreIdleState().
//  - File pressed while FLAG_PLAYING is set: RequestStop().
//  - WM_PLAYBACK_FINISHED delivered: FinishPlayback(), then the controls go back to idle
//    (list enabled, File control reading "Файл" and enabled).
#pragma once

#include "engine/player_state.h"

// Asks for 1 ms timer resolution, raises the process priority class, creates the playback
// thread and runs StartPlayback. On success: showPlaying, FLAG_PLAYING, the priming reset.
// On failure: the failed-start teardown. Then the priority class comes back unless a stop is
// already under way. Returns false only when no thread could be made: the message has been
// shown, the timer resolution given back and the File control enabled; no finish will come.
bool LaunchPlayback();

// The handling of WM_PLAYBACK_FINISHED: gives back the timer resolution, closes the thread,
// closes device, stream and file (showing the message of an output the device could not
// complete), frees the data buffers, restores the priority class and clears both state bits.
// Afterwards every handle and pointer of `player` is null.
void FinishPlayback();

// Gives the process back its priority class and enables the File control.
void RestoreIdleState();

// True from LaunchPlayback's thread creation until FinishPlayback: a finish is still to come,
// so no new playback may start yet.
bool PlaybackPending();
