// The two response headers.  Each writes a whole header block: the header
// line, ended by a bare LF, and the empty line that closes the block.  Nothing
// is flushed here; cgiUninit flushes standard output.
#include <cstdio>

#include "vuvidur.h"

namespace {
constexpr int kLineEnd = 10;
constexpr int kNoStream = -1;
}  // namespace

extern "C" {

VESK_API int cgiPrintContentType(const char *type) {
    // Before cgiInit there is no stream to write to.
    if (cgiOutStream == nullptr || type == nullptr) return kNoStream;
    return std::fprintf(cgiOutStream, "Content-type: %s%c%c", type, kLineEnd, kLineEnd);
}

VESK_API int cgiPrintLocation(const char *location) {
    if (cgiOutStream == nullptr || location == nullptr) return kNoStream;
    return std::fprintf(cgiOutStream, "Location: %s%c%c", location, kLineEnd, kLineEnd);
}

}  // extern "C"
