// Memory running out in the middle of decoding: the decoders and cgiInit
// report it at every allocation that can fail, and never crash or keep half
// a request.  The test binary's allocator fails on demand.
// test-platform: POSIX (cgiInit runs in fork()ed children)
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "cgi/form.h"
#include "cgi/multipart.h"
#include "child_request.h"
#include "vuvidur.h"

namespace {

// Allocations left before one fails; negative: none fails.  Only the test
// thread arms it, and only around the call under test.
long g_allocations_left = -1;

void fail_after(long allocations) { g_allocations_left = allocations; }

}  // namespace

void *operator new(std::size_t size) {
    if (g_allocations_left == 0) throw std::bad_alloc();
    if (g_allocations_left > 0) --g_allocations_left;
    void *p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

cgi::Bytes bytes(const std::string &text) {
    return cgi::Bytes(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

// Fails the n-th allocation of `decode` for every n until one run needs no
// more than n: each failing run must give `no_memory`, the last one 0.
template <class Decode>
void sweep(Decode decode, int no_memory, size_t fields_wanted) {
    for (long n = 0;; ++n) {
        ASSERT_LT(n, 200) << "the decoder never finished";
        cgi::FormFieldList fields;
        fail_after(n);
        const int code = decode(fields);
        fail_after(-1);
        if (code == 0) {
            EXPECT_EQ(fields.size(), fields_wanted);
            EXPECT_GT(n, 0) << "the decoder allocated nothing";
            return;
        }
        ASSERT_EQ(code, no_memory) << "allocation " << n;
    }
}

TEST(CgiNoMemory, DecodersReportAFailedAllocationAtEveryPoint) {
    const std::string multipart =
        "--AaB03x\r\nContent-Disposition: form-data; name=\"a long field name, not inline\"\r\n"
        "\r\nv\r\n--AaB03x\r\nContent-Disposition: form-data; name=b; filename=\"file.txt\"\r\n"
        "Content-Type: text/plain; charset=utf-8; format=flowed\r\n\r\ndata\r\n--AaB03x--";
    sweep(
        [&](cgi::FormFieldList &f) { return cgi::multipart_decode(bytes(multipart), "AaB03x", f); },
        cgi::kMultipartNoMemory, 2);
    const std::string pairs = "first+field+with+a+long+name=1&second=a+value+longer+than+inline";
    sweep([&](cgi::FormFieldList &f) { return cgi::form_split_pairs(bytes(pairs), f); }, 1, 2);
}

TEST(CgiNoMemory, InitFailsWholeWhenMemoryRunsOut) {
    // The query string, body and field names are long enough to need the heap.
    const std::string query = "a+field+name+that+needs+the+heap=1&another+long+field+name+here=2";
    for (const cgi_test::Request &request :
         {cgi_test::get_request(query),
          cgi_test::post_request(query, std::to_string(query.size()))}) {
        for (long n = 0;; ++n) {
            ASSERT_LT(n, 200) << "cgiInit never finished";
            cgi_test::Outcome outcome = cgi_test::run_request(request, [n] {
                fail_after(n);
                const int code = cgiInit();
                fail_after(-1);
                return std::to_string(code) + " " +
                       std::to_string(cgiCountValues("another long field name here"));
            });
            ASSERT_TRUE(outcome.exited) << "allocation " << n;
            if (outcome.report == "0 1") break;
            ASSERT_EQ(outcome.report, "-1 0") << "allocation " << n;
        }
    }
}

}  // namespace
