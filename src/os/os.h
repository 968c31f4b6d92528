// The portable interface to the platform, for the rest of the library.
// The exported wrappers (mutexes, semaphores, threads, sleeping, sockets,
// processes) are declared in vuvidur.h; this header adds what the library
// needs internally.  Each backend (posix/, win32/) implements all of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vuvidur.h"

// Writes `text` to the debug-output channel (OutputDebugStringA on Windows;
// on POSIX the channel that VESK_DEBUG_OUTPUT names, or nowhere).
void os_debug_output(const char *text);

// Switches a socket to non-blocking mode: 0, or -1 on failure.
int socket_set_nonblocking(vesk_socket_t s);
