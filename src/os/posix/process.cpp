// Processes on POSIX: posix_spawnp in a new session stands in for a process
// with a console of its own.
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "frame/memory.h"
#include "os/command_line.h"
#include "vuvidur.h"

extern "C" char **environ;

namespace {

int process_create(char *cmdline, vesk_process_info *pi) {
    std::vector<std::string> words = os::split_command_line(cmdline);
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int error = ENOENT;  // an empty command line names no program
    pid_t pid = 0;
    if (!words.empty()) {
        posix_spawnattr_t attr;
        // Attributes that cannot be set up are a failed creation, never a
        // child started without its own session.
        error = posix_spawnattr_init(&attr);
        if (error == 0) {
            error = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
            if (error == 0)
                error = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
            posix_spawnattr_destroy(&attr);
        }
    }
    if (error != 0) {
        std::printf("\r\nErr = %d", error);
        std::fflush(stdout);
        return -3;
    }
    pi->process = pid;
    pi->thread = 0;
    pi->process_id = static_cast<uint32_t>(pid);
    pi->thread_id = 0;
    std::printf("\r\nvesk_process_create OK! hProc = %u", static_cast<unsigned>(pi->process));
    std::fflush(stdout);
    return 0;
}

}  // namespace

extern "C" {

VESK_API int vesk_process_create(char *cmdline, vesk_process_info *pi) {
    if (cmdline == nullptr || pi == nullptr) return -2;
    return frame::no_throw([&] { return process_create(cmdline, pi); });
}

VESK_API int vesk_process_kill(intptr_t process, uint32_t) {
    // kill() reads 0 as "my process group" and -1 as "every process I may
    // signal": neither is a process handle.
    if (process <= 0) return -1;
    return kill(static_cast<pid_t>(process), SIGKILL) == 0 ? 0 : -1;
}

}  // extern "C"
