// Runs one CGI request in a child process: the CGI state is process-wide, so
// every request gets a fresh process, its own environment, its own standard
// input and a temporary working directory that receives the debug log.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cgi_test {

struct Request {
    // Variables to set in the child, after its environment was emptied.  A
    // variable not listed is not set at all.
    std::vector<std::pair<std::string, std::string>> environment;
    std::string body;  // what standard input holds
    // Runs in the working directory before the script, e.g. to prepare the
    // debug log.
    std::function<void()> prepare;
};

struct Outcome {
    bool exited = false;  // false when the child died of a signal
    int exit_status = -1;
    std::string report;       // what the script returned
    std::string output;       // what reached standard output
    std::string log;          // cgidebug.txt ("" when absent)
    long stdin_consumed = 0;  // bytes taken from standard input's file
};

// Forks; the child empties its environment, sets the request's variables,
// puts `body` on standard input and a file on standard output, runs `script`
// in the temporary directory and writes its result as the report.  The child
// ends with _exit, so nothing that the script left unflushed reaches the
// output.
Outcome run_request(const Request &request, const std::function<std::string()> &script);

// "name -> code 'value'" for a lookup of `name` with a buffer of `size`.
std::string lookup(const char *name, int size = 256);

// Convenience environments.
Request get_request(const std::string &query);
Request post_request(const std::string &body, const std::string &content_length);

constexpr const char *kFormType = "application/x-www-form-urlencoded";

}  // namespace cgi_test
