// A file upload through cgiInit against reading the same bytes.
//
// The body is a multipart/form-data POST of one text field and one 10 MB file
// of random bytes.  Standard input is either a temporary file (it stays in
// the page cache: pure memory work, the hardest comparison) or a pipe that a
// second thread fills, as a web server hands a CGI program its body.  "Read"
// is fread of the whole body into a buffer (what any CGI program must do at
// least); "CgiInit" captures the request from the same input and decodes it.
// The decoder alone runs on the body in memory.  Throughput is in the
// bytes_per_second column.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cgi/multipart.h"
#include "vuvidur.h"

namespace {

constexpr size_t kFileSize = 10 * 1000 * 1000;
const std::string kBoundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";

std::string make_body() {
    std::mt19937 rng(7);
    std::string file(kFileSize, '\0');
    for (auto &c : file) c = static_cast<char>(rng());
    return "--" + kBoundary +
           "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nholiday\r\n--" + kBoundary +
           "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"a.jpg\"\r\n"
           "Content-Type: image/jpeg\r\n\r\n" +
           file + "\r\n--" + kBoundary + "--\r\n";
}

const std::string &body() {
    static const std::string text = make_body();
    return text;
}

// Puts the body in a temporary file and makes it standard input.
void body_on_stdin() {
    static bool done = false;
    if (done) return;
    std::FILE *file = std::tmpfile();
    std::fwrite(body().data(), 1, body().size(), file);
    std::fflush(file);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fileno(file));
    if (std::freopen(path, "rb", stdin) == nullptr) std::abort();
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", ("multipart/form-data; boundary=" + kBoundary).c_str(), 1);
    setenv("CONTENT_LENGTH", std::to_string(body().size()).c_str(), 1);
    setenv("VESK_CGI_LOG", "off", 1);
    done = true;
}

void BM_Upload_Read(benchmark::State &state) {
    body_on_stdin();
    for (auto _ : state) {
        std::rewind(stdin);
        std::vector<unsigned char> buffer(body().size());
        benchmark::DoNotOptimize(std::fread(buffer.data(), 1, buffer.size(), stdin));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

void BM_Upload_CgiInit(benchmark::State &state) {
    body_on_stdin();
    for (auto _ : state) {
        std::rewind(stdin);
        if (cgiInit() != 0) state.SkipWithError("cgiInit failed");
        vesk_cgi_file file;
        if (cgiGetFile("photo", 0, &file) != 0 || file.size != static_cast<int32_t>(kFileSize)) {
            state.SkipWithError("no file");
        }
        state.PauseTiming();
        cgiUninit();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

// Standard input becomes a fresh pipe that a thread fills with the body.
std::thread body_through_pipe() {
    body_on_stdin();
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[0], 0) < 0) std::abort();
    close(ends[0]);
    std::clearerr(stdin);
    return std::thread([writer = ends[1]] {
        for (size_t done = 0; done < body().size();) {
            ssize_t n = write(writer, body().data() + done, body().size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(writer);
    });
}

void BM_Upload_ReadPipe(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::thread writer = body_through_pipe();
        state.ResumeTiming();
        std::vector<unsigned char> buffer(body().size());
        benchmark::DoNotOptimize(std::fread(buffer.data(), 1, buffer.size(), stdin));
        state.PauseTiming();
        writer.join();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

void BM_Upload_CgiInitPipe(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::thread writer = body_through_pipe();
        state.ResumeTiming();
        if (cgiInit() != 0) state.SkipWithError("cgiInit failed");
        state.PauseTiming();
        writer.join();
        cgiUninit();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

void BM_Upload_DecodeOnly(benchmark::State &state) {
    const auto *data = reinterpret_cast<const unsigned char *>(body().data());
    for (auto _ : state) {
        cgi::FormFieldList fields;
        if (cgi::multipart_decode(cgi::Bytes(data, body().size()), kBoundary, fields) != 0) {
            state.SkipWithError("decode failed");
        }
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}

// The same size of body made of lines that nearly are delimiters: every CR
// starts a candidate that matches all of the boundary but one byte, or all of
// it followed by a byte that ends no delimiter line.  Linear time keeps this
// within a small factor of the random file.
void BM_Upload_DecodeNearDelimiters(benchmark::State &state) {
    static const std::string text = [] {
        std::string near = "\r\n--" + kBoundary.substr(0, kBoundary.size() - 1) + "\r\n--" +
                           kBoundary + "x\r\n--" + kBoundary + " -";
        std::string body =
            "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n";
        while (body.size() < kFileSize) body += near;
        return body + "\r\n--" + kBoundary + "--\r\n";
    }();
    const auto *data = reinterpret_cast<const unsigned char *>(text.data());
    for (auto _ : state) {
        cgi::FormFieldList fields;
        if (cgi::multipart_decode(cgi::Bytes(data, text.size()), kBoundary, fields) != 0 ||
            fields.size() != 1) {
            state.SkipWithError("decode failed");
        }
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_Upload_Read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload_CgiInit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload_ReadPipe)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Upload_CgiInitPipe)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Upload_DecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload_DecodeNearDelimiters)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
