// Starting and ending processes with CreateProcessA and TerminateProcess.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "vuvidur.h"

namespace {

struct Started {
    int rc = 0;
    std::string out;
    vesk_process_info pi{};
};

Started start(const std::string &line) {
    std::string copy = line;  // CreateProcessA may write into the command line
    Started s;
    testing::internal::CaptureStdout();
    s.rc = vesk_process_create(copy.data(), &s.pi);
    s.out = testing::internal::GetCapturedStdout();
    return s;
}

std::string child(const std::string &arguments) {
    return std::string("\"") + VESK_TEST_CHILD + "\" " + arguments;
}

// Waits for the child and returns its exit code; closes both handles.
DWORD reap(const vesk_process_info &pi) {
    auto process = reinterpret_cast<HANDLE>(pi.process);
    EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    GetExitCodeProcess(process, &code);
    CloseHandle(reinterpret_cast<HANDLE>(pi.thread));
    CloseHandle(process);
    return code;
}

}  // namespace

TEST(WindowsProcess, StartedProcessIsReportedWithItsHandleAndBothHandlesStayOpen) {
    Started s = start(child("exit 7"));
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.out, "\r\nvesk_process_create OK! hProc = " +
                         std::to_string(static_cast<unsigned>(s.pi.process)));
    auto process = reinterpret_cast<HANDLE>(s.pi.process);
    auto thread = reinterpret_cast<HANDLE>(s.pi.thread);
    // Both handles belong to the caller and are open: they answer for the child.
    EXPECT_EQ(GetProcessId(process), s.pi.process_id);
    EXPECT_EQ(GetThreadId(thread), s.pi.thread_id);
    EXPECT_EQ(reap(s.pi), 7u);
}

TEST(WindowsProcess, CommandLineReachesTheChildAsItWasWritten) {
    Started s = start(child("args \"one two\" three"));
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(reap(s.pi), 0u);
}

TEST(WindowsProcess, ChildGetsAConsoleOfItsOwn) {
    Started s = start(child("console " + std::to_string(GetCurrentProcessId())));
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(reap(s.pi), 0u);
}

TEST(WindowsProcess, MissingProgramPrintsTheSystemErrorAndGivesMinusThree) {
    Started s = start("vesk-no-such-program.exe argument");
    EXPECT_EQ(s.rc, -3);
    EXPECT_EQ(s.out, "\r\nErr = 2");  // ERROR_FILE_NOT_FOUND
}

TEST(WindowsProcess, KillEndsTheProcessWithTheGivenExitCode) {
    Started s = start(child("sleep 30000"));
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(vesk_process_kill(s.pi.process, 3), 0);
    EXPECT_EQ(reap(s.pi), 3u);
}

TEST(WindowsProcess, KillOfSomethingThatIsNoProcessFails) {
    EXPECT_EQ(vesk_process_kill(0, 1), -1);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(vesk_process_kill(reinterpret_cast<intptr_t>(event), 1), -1);
    CloseHandle(event);
}
