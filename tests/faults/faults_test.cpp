// test-platform: POSIX
// The library under injected faults: the scenario programs run with the
// injector loaded, one function failing at one call (or from it on), and the
// outcome is checked -- refused with the documented result or event, ended
// by the out-of-memory policy (one line, status 1), or worked.  Never a
// silent success, an abort, or a thread that spins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

struct Outcome {
    int status = -1;  // exit status; 128 + signal when killed
    std::string err;
    std::map<std::string, long> calls;
    long failed = 0;
    long span_ms = 0;
    // Failed calls per second while the fault lasted.
    double rate() const { return span_ms > 0 ? failed * 1000.0 / span_ms : 0; }
    int oom_lines() const {
        int n = 0;
        for (size_t at = err.find("vuvidur: out of memory"); at != std::string::npos;
             at = err.find("vuvidur: out of memory", at + 1)) {
            ++n;
        }
        return n;
    }
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Outcome run(const char *scenario, const char *function = "", long at = 0, bool persist = false) {
    char dir[] = "/tmp/vesk_faults_XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    const std::string err_path = std::string(dir) + "/stderr";
    const std::string report_path = std::string(dir) + "/report";
    const std::string log_path = std::string(dir) + "/cgidebug.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("LD_PRELOAD", VESK_INJECT, 1);
        setenv("VESK_FAULT_FUNCTION", function, 1);
        setenv("VESK_FAULT_AT", std::to_string(at).c_str(), 1);
        setenv("VESK_FAULT_PERSIST", persist ? "1" : "0", 1);
        setenv("VESK_FAULT_REPORT", report_path.c_str(), 1);
        setenv("VESK_CGI_LOG", log_path.c_str(), 1);
        // The injector comes first, before the sanitizer runtime.
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
        execl(VESK_FAULT_SCENARIO, VESK_FAULT_SCENARIO, scenario, static_cast<char *>(nullptr));
        _exit(127);
    }
    Outcome r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = slurp(err_path);
    std::istringstream report(slurp(report_path));
    std::string name;
    long value = 0;
    while (report >> name >> value) {
        if (name == "failed") {
            r.failed = value;
            report >> r.span_ms;
        } else {
            r.calls[name] = value;
        }
    }
    unlink(err_path.c_str());
    unlink(report_path.c_str());
    unlink(log_path.c_str());
    rmdir(dir);
    return r;
}

// The injector stands in front of the allocator, which ThreadSanitizer's
// runtime must own from the start: the tests run in the plain and the
// ASan+UBSan builds.
bool under_thread_sanitizer() {
    const char *v = std::getenv("VESK_SANITIZED");
    return v != nullptr && std::string(v) == "thread";
}

class Faults : public testing::Test {
protected:
    void SetUp() override {
        if (under_thread_sanitizer()) GTEST_SKIP() << "not under ThreadSanitizer";
    }
};

constexpr int kOk = 0;
constexpr int kOutOfMemory = 1;
constexpr int kRefused = 2;

TEST_F(Faults, ScenariosWorkWithNothingInjected) {
    for (const char *name : {"engine_framed", "engine_raw", "engine_udp", "settings", "timer",
                             "queue", "threads", "process", "cgi", "tickets"}) {
        const Outcome r = run(name);
        EXPECT_EQ(r.status, kOk) << name << ": " << r.err;
    }
}

TEST_F(Faults, AQueueWhoseLockCannotBeMadeEndsTheProcessWithOneLine) {
    const Outcome r = run("queue", "pthread_mutex_init", 1);
    EXPECT_EQ(r.status, kOutOfMemory) << r.err;
    EXPECT_EQ(r.oom_lines(), 1) << r.err;
}

TEST_F(Faults, EngineSetUpIsRefusedWhenAnyOfItsLocksCannotBeMade) {
    const long made = run("engine_framed").calls["pthread_mutex_init"];
    ASSERT_GE(made, 3);  // channels, work list, slot table
    for (long at = 1; at <= made; ++at) {
        const Outcome r = run("engine_framed", "pthread_mutex_init", at);
        EXPECT_TRUE(r.status == kRefused || r.status == kOk) << "call " << at << ": " << r.err;
        if (at == 1) {
            EXPECT_NE(r.err.find("refused (init)"), std::string::npos) << r.err;
        }
    }
}

TEST_F(Faults, AThreadWhoseStartSemaphoreCannotBeMadeIsRefused) {
    // The scenario's own semaphore is the first; the thread's start the second.
    const Outcome r = run("threads", "sem_init", 2);
    EXPECT_EQ(r.status, kRefused) << r.err;
    EXPECT_NE(r.err.find("refused (thread)"), std::string::npos) << r.err;
}

TEST_F(Faults, NoCxxExceptionLeavesTheSettingsOrTheProcessCalls) {
    for (const char *name : {"settings", "process"}) {
        const long made = run(name).calls["new"];
        ASSERT_GE(made, 1) << name;
        for (long at = 1; at <= made; ++at) {
            const Outcome r = run(name, "new", at);
            EXPECT_EQ(r.status, kOutOfMemory) << name << " call " << at << ": " << r.err;
            EXPECT_EQ(r.oom_lines(), 1) << r.err;
        }
    }
}

TEST_F(Faults, ASlotTheEngineCannotWatchFailsWithAnEvent) {
    const long made = run("engine_framed").calls["epoll_ctl"];
    ASSERT_GE(made, 4);  // the wake-up, the listener, the connect, the accepted slot
    int refused = 0;
    for (long at = 1; at <= made; ++at) {
        const Outcome r = run("engine_framed", "epoll_ctl", at);
        EXPECT_TRUE(r.status == kRefused || r.status == kOk) << "call " << at << ": " << r.err;
        refused += r.status == kRefused;
    }
    EXPECT_GE(refused, 3);
}

TEST_F(Faults, ATcpSendThatFailsFailsTheSlotWithAnEvent) {
    const Outcome r = run("engine_framed", "send", 1);
    EXPECT_EQ(r.status, kRefused) << r.err;
    EXPECT_NE(r.err.find("the slot failed"), std::string::npos) << r.err;
}

TEST_F(Faults, TheIoThreadPacesItsOwnCallsThatKeepFailingAndFailsItsSlotsAfterASecond) {
    // The wait and the wake-up read: the thread must not spin (at most 100
    // tries a second, with some slack), and the slots it can no longer serve
    // fail with an event rather than going silent.
    for (const char *function : {"epoll_wait", "read"}) {
        const Outcome r = run("engine_framed", function, 2, true);
        EXPECT_GT(r.failed, 0) << function;
        EXPECT_LT(r.rate(), 150) << function << ": " << r.failed << " in " << r.span_ms << " ms";
        EXPECT_EQ(r.status, kRefused) << function << ": " << r.err;
        EXPECT_NE(r.err.find("the slot failed"), std::string::npos) << function << ": " << r.err;
    }
}

TEST_F(Faults, AUdpSlotWhoseReceiveKeepsFailingFailsAfterASecond) {
    const Outcome r = run("engine_udp", "recvmmsg", 1, true);
    EXPECT_EQ(r.status, kRefused) << r.err;
    EXPECT_NE(r.err.find("the slot failed"), std::string::npos) << r.err;
    EXPECT_LT(r.rate(), 150) << r.failed << " in " << r.span_ms << " ms";
}

}  // namespace
