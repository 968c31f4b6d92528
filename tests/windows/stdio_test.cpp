// Standard input for a CGI request body on Windows: byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "os/os.h"

namespace {

// Makes standard input a pipe holding `bytes` (then its end), in text mode
// as a console program's standard input starts.
void feed_stdin(const std::string &bytes) {
    int fds[2];
    ASSERT_EQ(_pipe(fds, 4096, _O_BINARY), 0);
    ASSERT_EQ(_write(fds[1], bytes.data(), static_cast<unsigned>(bytes.size())),
              static_cast<int>(bytes.size()));
    _close(fds[1]);
    ASSERT_EQ(_dup2(fds[0], _fileno(stdin)), 0);
    _close(fds[0]);
    _setmode(_fileno(stdin), _O_TEXT);
    std::clearerr(stdin);
}

std::string read_all_stdin() {
    std::string got;
    char buffer[64];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) got.append(buffer, n);
    return got;
}

const std::string kBody("a=1\r\nb=\x1a\x00z\r", 11);

}  // namespace

TEST(WindowsStdin, BinaryModeDeliversCarriageReturnsAndControlZ) {
    feed_stdin(kBody);
    os::stdin_binary_mode();
    EXPECT_EQ(read_all_stdin(), kBody);
}

// What the binary mode is for: text mode would have changed the body.
TEST(WindowsStdin, TextModeWouldTranslateAndStopAtControlZ) {
    feed_stdin(kBody);
    EXPECT_EQ(read_all_stdin(), std::string("a=1\nb="));
}
