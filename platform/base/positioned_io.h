// SPDX-License-Identifier: GPL-3.0-or-later
// Reads and writes at a file offset that go on until the whole transfer is done: a call that
// a signal interrupts is made again, and a short one is continued. A caller sees the whole
// transfer, the end of the file, or an error with errno set. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to `count` bytes at `offset` into `bytes`: how many were read, fewer only where
// the file ends; -1 on an error.
int64_t ReadAt(int fd, void* bytes, size_t count, uint64_t offset);

// Writes all `count` bytes at `offset`; false on an error (a write that makes no progress
// counts as one, with errno ENOSPC).
bool WriteAt(int fd, const void* bytes, size_t count, uint64_t offset);
