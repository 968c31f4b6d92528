// POSIX streams make no difference between text and binary mode.
#include "os/os.h"

void os::stdin_binary_mode(void) {}
