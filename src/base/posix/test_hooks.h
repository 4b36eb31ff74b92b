#pragma once

// What the end-to-end tests ask of the system that each system spells its
// own way, or lacks: a pseudo-terminal, a pipe's buffer size, and handing
// freed memory back. The tool itself uses none of them.

#include <sys/ioctl.h>

#include <cstddef>

namespace wavtally::platform {

/// Opens a pseudo-terminal of size; returns 0 and sets *master and *slave,
/// or -1 with errno set.
int OpenPseudoTerminal(int* master, int* slave, const winsize& size);
/// Shrinks the buffer of the pipe fd to about bytes where the system lets a
/// program choose it (Linux); returns false only when that failed.
bool ShrinkPipe(int fd, size_t bytes);
/// Gives the heap's free memory back to the system where the C library can
/// (glibc), so a child forked next shares fewer pages; returns nothing.
void TrimHeap();

}  // namespace wavtally::platform
