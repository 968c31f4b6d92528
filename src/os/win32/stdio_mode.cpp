// Standard input in binary mode: no CR LF translation, no end at ^Z.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "os/os.h"

void os::stdin_binary_mode(void) { _setmode(_fileno(stdin), _O_BINARY); }
