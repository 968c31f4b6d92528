// cgiInit and cgiUninit: capture the request from the environment and
// standard input, hand the form input to the decoder, keep the debug log.
#include "cgi/request.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <vector>

#include "cgi/debug_log.h"
#include "cgi/multipart.h"
#include "os/os.h"
#include "vuvidur.h"

namespace cgi {

RequestState &request_state() {
    static RequestState state;  // GCOVR_EXCL_BR_LINE: the compiler's guard of a local static
    return state;
}

namespace {

// The body is read into room set aside for at most kBodyReserve bytes, and
// beyond that into room that grows with the bytes that actually arrived
// (kBodyChunk at a time at least), so an announced CONTENT_LENGTH alone never
// makes memory grow past kBodyReserve.
constexpr size_t kBodyChunk = 64 * 1024;
constexpr size_t kBodyReserve = 16 * 1024 * 1024;
constexpr int kUninitPauseMicroseconds = 1000;

std::string environment_text(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Reads exactly `length` body bytes; false when fewer arrive or memory runs
// out.  A negative length cannot be read and fails.
bool read_body(std::FILE *in, int length, std::vector<unsigned char> &body) {
    if (length < 0) return false;
    const size_t wanted = static_cast<size_t>(length);
    try {
        // Room for up to kBodyReserve bytes at once: a body of that size is
        // read in one piece, without moving it.  Beyond it, the room grows
        // with what came (at least kBodyChunk more, or what the vector's own
        // growth left free).
        body.reserve(std::min(wanted, kBodyReserve));
        while (body.size() < wanted) {
            size_t have = body.size();
            size_t room = std::max(kBodyChunk, body.capacity() - have);
            size_t piece = std::min(room, wanted - have);
            body.resize(have + piece);
            size_t got = std::fread(body.data() + have, 1, piece, in);
            body.resize(have + got);
            if (got < piece) return false;
        }
        return true;
    } catch (const std::bad_alloc &) {  // GCOVR_EXCL_BR_LINE: only bad_alloc is thrown here
        return false;
    }
}

// Reads the POST body and decodes it, URL-encoded or, when `boundary` is
// given, multipart: 0, or nonzero on failure.
int post_form_input(RequestState &state, const std::string *boundary) {
    // Nothing announced: stdin is not touched (an empty multipart body then
    // fails below, as it lacks its delimiters).
    if (state.content_length == 0 && boundary == nullptr) return 0;
    std::vector<unsigned char> body;
    bool whole = read_body(state.in_stream, state.content_length, body);
    state.body_left -= static_cast<long long>(body.size());
    if (!whole) return 1;
    if (boundary == nullptr) return form_split_pairs(Bytes(body.data(), body.size()), state.fields);
    state.body = std::move(body);  // the fields' values stay in it
    return multipart_decode(Bytes(state.body.data(), state.body.size()), *boundary, state.fields);
}

// Reads and discards what is left of a POST body, so that the server sees
// its whole request taken before the response ends (some servers reset the
// connection otherwise).  Stops early at the end of the input or an error.
void drain_body(RequestState &state) {
    char scrap[16 * 1024];
    while (state.in_stream != nullptr && (state.body_to_end || state.body_left > 0)) {
        size_t wanted = sizeof scrap;
        if (!state.body_to_end && state.body_left < static_cast<long long>(wanted)) {
            wanted = static_cast<size_t>(state.body_left);
        }
        size_t got = std::fread(scrap, 1, wanted, state.in_stream);
        state.body_left -= static_cast<long long>(got);
        if (got < wanted) break;
    }
    state.body_to_end = false;
    state.body_left = 0;
}

// Decodes the query string over the length that cgiInit set from it.
int get_form_input(RequestState &state) {
    const auto *text = reinterpret_cast<const unsigned char *>(state.query_string.data());
    size_t length = std::min(state.query_string.size(), static_cast<size_t>(state.content_length));
    return form_split_pairs(Bytes(text, length), state.fields);
}

void release_fields(RequestState &state) {
    FormFieldList().swap(state.fields);
    std::vector<unsigned char>().swap(state.body);
}

int init_request() {
    RequestState &state = request_state();
    state.request_method = environment_text("REQUEST_METHOD");
    state.query_string = environment_text("QUERY_STRING");
    state.content_type = environment_text("CONTENT_TYPE");
    const std::string content_length_text = environment_text("CONTENT_LENGTH");
    state.content_length = form_parse_length(content_length_text.c_str());

    debug_log_append(
        "cgiContentLength :%d\n"
        "cgiRequestMethod :%s\n"
        "cgiContentType   :%s\n"
        "cgiQueryString   :%s\n"
        "cgiContentLengthString :%s\n",
        state.content_length, state.request_method.c_str(), state.content_type.c_str(),
        state.query_string.c_str(), content_length_text.c_str());

    release_fields(state);
    os::stdin_binary_mode();  // the body's bytes must arrive untranslated
    state.in_stream = stdin;
    cgiOutStream = stdout;
    state.body_to_end = false;
    state.body_left = 0;

    if (form_equal_no_case(state.request_method.c_str(), "post")) {
        debug_log_append("POST recognized\n");
        // The body that cgiUninit discards unless it is read before: the
        // announced length, or all of the input when no length came (a
        // server passing on a chunked request).
        state.body_to_end = content_length_text.empty();
        state.body_left = std::max(state.content_length, 0);
        std::string boundary;
        const bool multipart = multipart_form_type(state.content_type, boundary);
        if (!multipart && !form_is_urlencoded_type(state.content_type)) return 0;
        debug_log_append("Calling PostFormInput\n");
        // A multipart type without a usable boundary cannot be decoded: its
        // body is left for cgiUninit to discard.
        if ((multipart && boundary.empty()) ||
            post_form_input(state, multipart ? &boundary : nullptr) != 0) {
            debug_log_append("PostFormInput failed\n");
            release_fields(state);
            return -1;
        }
        debug_log_append("PostFormInput succeeded\n");
        return 0;
    }
    if (form_equal_no_case(state.request_method.c_str(), "get")) {
        state.content_length =
            static_cast<int>(std::min(state.query_string.size(), static_cast<size_t>(INT_MAX)));
        if (get_form_input(state) != 0) {
            debug_log_append("GetFormInput failed\n");
            release_fields(state);
            return -1;
        }
        debug_log_append("GetFormInput succeeded\n");
        return 0;
    }
    return 0;
}

}  // namespace
}  // namespace cgi

extern "C" {

VESK_API int cgiInit(void) {
    // The only exception the capture can meet is a failed allocation of the
    // environment copies; it must not cross the C boundary.
    try {
        return cgi::init_request();
    } catch (const std::bad_alloc &) {  // GCOVR_EXCL_BR_LINE: only bad_alloc is thrown here
        cgi::release_fields(cgi::request_state());
        return -1;
    }
}

VESK_API int cgiUninit(void) {
    using namespace cgi;
    debug_log_append("In cgiUninit \n");
    release_fields(request_state());
    drain_body(request_state());
    std::fflush(stdout);
    vesk_usleep(kUninitPauseMicroseconds);
    return debug_log_append("End of Cgi processing\n\n\n");
}

}  // extern "C"
