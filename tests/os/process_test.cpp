// Starting and ending processes, and splitting command lines.
// test-platform: POSIX (process ids, sessions, signals); the Windows
// counterparts are in tests/windows/process_test.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/command_line.h"
#include "vuvidur.h"

namespace {

struct Started {
    int rc;
    std::string out;
    vesk_process_info pi;
};

Started start(const char *line) {
    std::string copy = line;
    Started s{};
    testing::internal::CaptureStdout();
    s.rc = vesk_process_create(copy.data(), &s.pi);
    s.out = testing::internal::GetCapturedStdout();
    return s;
}

}  // namespace

TEST(Process, NullArgumentsGiveMinusTwoAndPrintNothing) {
    vesk_process_info pi{};
    char line[] = "true";
    testing::internal::CaptureStdout();
    EXPECT_EQ(vesk_process_create(nullptr, &pi), -2);
    EXPECT_EQ(vesk_process_create(line, nullptr), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Process, MissingProgramGivesMinusThreeWithTheErrorNumber) {
    Started s = start("/nonexistent/vesk-no-such-program arg");
    EXPECT_EQ(s.rc, -3);
    EXPECT_EQ(s.out, "\r\nErr = 2");  // ENOENT
    // A command line of blanks names no program at all.
    s = start("  \t ");
    EXPECT_EQ(s.rc, -3);
    EXPECT_EQ(s.out, "\r\nErr = 2");
}

TEST(Process, StartedProcessRunsWithQuotedArgumentsAndIsReported) {
    Started s = start("sh -c \"exit 7\"");
    ASSERT_EQ(s.rc, 0);
    EXPECT_GT(s.pi.process, 0);
    EXPECT_EQ(s.pi.process_id, static_cast<uint32_t>(s.pi.process));
    EXPECT_EQ(s.pi.thread, 0);
    EXPECT_EQ(s.out, "\r\nvesk_process_create OK! hProc = " + std::to_string(s.pi.process));
    int status = 0;
    ASSERT_EQ(waitpid(static_cast<pid_t>(s.pi.process), &status, 0), s.pi.process);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(Process, ChildRunsInASessionOfItsOwnAndCanBeKilled) {
    Started s = start("sleep 30");
    ASSERT_EQ(s.rc, 0);
    auto pid = static_cast<pid_t>(s.pi.process);
    EXPECT_EQ(getsid(pid), pid);
    EXPECT_EQ(vesk_process_kill(s.pi.process, 3), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(vesk_process_kill(s.pi.process, 3), -1) << "a reaped process cannot be killed";
}

TEST(Process, KillRefusesValuesThatNameProcessGroups) {
    // kill(0) would hit this test's own process group, kill(-1) everything.
    EXPECT_EQ(vesk_process_kill(0, 1), -1);
    EXPECT_EQ(vesk_process_kill(-1, 1), -1);
    EXPECT_EQ(vesk_process_kill(-getpid(), 1), -1);
}

TEST(CommandLine, SplitsAtBlanksAndGroupsWithDoubleQuotes) {
    struct Case {
        const char *line;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"prog", {"prog"}},
        {"  prog   a\tb  ", {"prog", "a", "b"}},
        {"sh -c \"echo a  b\"", {"sh", "-c", "echo a  b"}},
        {"a\"b c\"d e", {"ab cd", "e"}},  // quotes join into the word around them
        {"x \"\" y", {"x", "", "y"}},     // an empty quoted word stays a word
        {"x \"unclosed tail", {"x", "unclosed tail"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(os::split_command_line(c.line), c.words) << '[' << c.line << ']';
    }
}
