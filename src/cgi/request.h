// The process-wide state of the one request that a CGI process serves.
// Unlocked: cgiInit, the lookups and cgiUninit run on one thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cgi/form.h"

namespace cgi {

struct RequestState {
    // Meta-variables as the environment gave them ("" when unset).  Copies,
    // so they keep their values whatever the program does to its environment.
    std::string request_method;
    std::string query_string;
    std::string content_type;
    int content_length = 0;
    std::FILE *in_stream = nullptr;
    // What is left of a POST body for cgiUninit to read and discard:
    // body_left bytes, or everything up to the end of the input when the
    // server announced no length.  Reset by every cgiInit and cgiUninit.
    bool body_to_end = false;
    long long body_left = 0;
    FormFieldList fields;  // in input order; duplicates kept
    // A multipart body, kept while its fields point into it.
    std::vector<unsigned char> body;
};

RequestState &request_state();

}  // namespace cgi
