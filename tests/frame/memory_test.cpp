// Memory functions, placeholders and the load / unload messages.
#include <gtest/gtest.h>
#ifndef _WIN32  // POSIX: dlopen in a fork()ed child; Windows: tests/windows/entry_test.cpp
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/memory.h"
#include "vuvidur.h"

namespace {

void *refuse_allocation(size_t) { return nullptr; }

#ifndef _WIN32
std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Loads and unloads the shared object in a child whose debug-output channel is
// `target`; returns the child's exit status.
int load_and_unload_in_child(const char *target) {
    pid_t pid = fork();
    if (pid == 0) {
        if (target) {
            setenv("VESK_DEBUG_OUTPUT", target, 1);
        } else {
            unsetenv("VESK_DEBUG_OUTPUT");
        }
        void *lib = dlopen(VESK_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) _exit(2);
        dlclose(lib);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}
#endif

}  // namespace

TEST(Memory, ZeroByteAllocationReturnsAUsableBlock) {
    void *block = vesk_mem_alloc(0, 0, 0);
    EXPECT_NE(block, nullptr);
    vesk_mem_free(block);
}

TEST(Memory, TagsAreIgnored) {
    auto *a = static_cast<char *>(vesk_mem_alloc(0xFFFFFFFF, 0x12345678, 16));
    ASSERT_NE(a, nullptr);
    a[15] = 'x';  // the whole block is usable whatever the tags
    vesk_mem_free(a);
}

TEST(Memory, FreeOfNullDoesNothing) { vesk_mem_free(nullptr); }

TEST(Memory, SetUsesOnlyTheLowByteOfTheFill) {
    unsigned char buf[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(vesk_mem_set(buf + 1, 0x1FF, 4), 0);
    const unsigned char expected[6] = {1, 0xFF, 0xFF, 0xFF, 0xFF, 1};
    EXPECT_EQ(0, memcmp(buf, expected, sizeof buf));
}

TEST(Memory, ReallocKeepsContentsAndAcceptsNull) {
    auto *p = static_cast<char *>(vesk_mem_realloc(nullptr, 4));
    ASSERT_NE(p, nullptr);
    memcpy(p, "abc", 4);
    p = static_cast<char *>(vesk_mem_realloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abc");
    vesk_mem_free(p);
}

TEST(Memory, ReplacedAllocatorIsUsedUntilNullRestoresTheDefault) {
    void *(*previous)(size_t) = frame::set_allocator(&refuse_allocation);
    EXPECT_EQ(frame::set_allocator(nullptr), &refuse_allocation);
    void *block = vesk_mem_alloc(0, 0, 16);  // malloc again: no exit
    EXPECT_NE(block, nullptr);
    vesk_mem_free(block);
    frame::set_allocator(previous);
}

TEST(MemoryDeathTest, AllocationFailureEndsTheProcessWithStatusOneAndAReason) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            frame::set_allocator(&refuse_allocation);
            vesk_mem_alloc(0, 0, 64);
        },
        testing::ExitedWithCode(1), "out of memory");
}

#ifndef _WIN32
TEST(MemoryDeathTest, ThreadsRunningOutAtOnceWriteOneLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The whole of standard error must be one line: the first thread ends the
    // process, the others wait for the end instead of writing theirs.
    EXPECT_EXIT(
        {
            frame::set_allocator(&refuse_allocation);
            std::atomic<bool> go{false};
            std::vector<std::thread> threads;
            for (int i = 0; i < 8; ++i) {
                threads.emplace_back([&go] {
                    while (!go.load()) {
                    }
                    vesk_mem_alloc(0, 0, 64);
                });
            }
            go.store(true);
            for (std::thread &t : threads) t.join();
        },
        testing::ExitedWithCode(1),
        "^vuvidur: out of memory \\(allocation of 64 bytes failed\\)\n$");
}
#endif

TEST(Placeholders, StubsAndDebugWordReturnZero) {
    EXPECT_EQ(vesk_stub_zero(), 0);
    vesk_stub_void();
    EXPECT_EQ(vesk_set_debug_word(-7), 0);
    // Callers reach the placeholders with arguments pushed: reading none of
    // them, the zero stub still answers 0.
    auto zero_with_args = reinterpret_cast<int (*)(int, int)>(vesk_proc_by_ordinal(39));
    EXPECT_EQ(zero_with_args(5, 6), 0);
}

#ifndef _WIN32  // POSIX only: the debug-output channel that VESK_DEBUG_OUTPUT names
TEST(DebugOutput, LoadAndUnloadWriteTheirMessagesToTheNamedFile) {
    char path[] = "/tmp/vesk_debug_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    int status = load_and_unload_in_child(path);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(path), "\n Load Vuvidur\n\n UnLoad Vuvidur\n");
    unlink(path);
}

TEST(DebugOutput, UnsetChannelDiscardsTheMessages) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int status = load_and_unload_in_child(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(DebugOutput, StderrChannelWritesToStandardError) {
    testing::internal::CaptureStderr();
    int status = load_and_unload_in_child("stderr");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(err.find("\n Load Vuvidur\n"), std::string::npos);
    EXPECT_NE(err.find("\n UnLoad Vuvidur\n"), std::string::npos);
}
#endif
