// The library's version, from the header it was built with: a program built
// against another header can tell by comparing with VESK_VERSION_STRING.
#include "vuvidur.h"

extern "C" VESK_API const char *vesk_version(void) { return VESK_VERSION_STRING; }
