#include "vuvidur.h"

// The CGI response stream, exported as data.  NULL until cgiInit.
extern "C" {
VESK_API FILE *cgiOutStream = nullptr;
}
