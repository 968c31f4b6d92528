// The CGI extensions: every value of a name, the bytes as sent, and the files
// of a multipart POST, each request in a child process.
// test-platform: POSIX (fork()ed children)
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "child_request.h"
#include "vuvidur.h"
#include "vuvidur.hpp"

using cgi_test::get_request;
using cgi_test::lookup;
using cgi_test::Outcome;
using cgi_test::post_request;
using cgi_test::Request;
using cgi_test::run_request;

namespace {

using namespace std::string_literals;

#if defined(__x86_64__)
static_assert(sizeof(vesk_cgi_file) == 32);
static_assert(offsetof(vesk_cgi_file, filename) == 0);
static_assert(offsetof(vesk_cgi_file, content_type) == 8);
static_assert(offsetof(vesk_cgi_file, data) == 16);
static_assert(offsetof(vesk_cgi_file, size) == 24);
#endif

std::string value_at(const char *name, int index) {
    char buffer[32] = "#";
    int code = cgiGetValueAt(name, index, buffer, sizeof buffer);
    return std::to_string(code) + "'" + buffer + "' ";
}

std::string bytes_of(const char *name, int index) {
    const char *data = nullptr;
    int size = -7;
    int code = cgiGetBytes(name, index, &data, &size);
    if (code != 0)
        return std::to_string(code) + (data == nullptr && size == -7 ? " untouched " : " written ");
    return "0'" + std::string(data, static_cast<size_t>(size)) + "' ";
}

std::string file_of(const char *name, int index) {
    vesk_cgi_file file{"#", "#", nullptr, -7};
    int code = cgiGetFile(name, index, &file);
    if (code != 0) return std::to_string(code) + (file.size == -7 ? " untouched " : " written ");
    return "0[" + std::string(file.filename) + "|" + file.content_type + "|" +
           std::string(static_cast<const char *>(file.data), static_cast<size_t>(file.size)) + "] ";
}

}  // namespace

TEST(CgiExtensions, EveryValueOfANameAndItsBytesAsSent) {
    Outcome outcome = run_request(get_request("cb=a&t=x%0D%0Ay&cb=c&cb=%0A&n=%00z&cb"), [] {
        cgiInit();
        std::string report = std::to_string(cgiCountValues("cb")) + " ";
        report += std::to_string(cgiCountValues("t")) + std::to_string(cgiCountValues("T")) +
                  std::to_string(cgiCountValues(nullptr)) + "\n";
        for (int i = -1; i <= 3; ++i) report += value_at("cb", i);
        report += "\n" + value_at("t", 0) + bytes_of("t", 0) + bytes_of("n", 0) + bytes_of("cb", 2);
        report += bytes_of("cb", 3) + bytes_of("t", -1) + file_of("cb", 0) + "\n";
        return report;
    });
    EXPECT_EQ(outcome.report,
              "3 100\n4'' 0'a' 0'c' 3'' 4'' \n"
              "0'xy' 0'x\r\ny' 0'\0z' 0'\n' 4 untouched 4 untouched 4 untouched \n"s);
}

TEST(CgiExtensions, FilesOfAMultipartPost) {
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"up\"\r\n\r\ntext\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"up\"; filename=\"one.bin\"\r\n"
        "Content-Type: application/x-thing\r\n\r\n\0\r\n--b-\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"up\"; filename=\"G\xC3\xBC.txt\"\r\n\r\n"
        "2nd\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"none\"; filename=\"\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n\r\n--b--\r\n"s;
    Request request = post_request(body, std::to_string(body.size()));
    request.environment[1].second = "multipart/form-data; boundary=b";
    Outcome outcome = run_request(request, [] {
        std::string report = "init " + std::to_string(cgiInit()) + "\n";
        report +=
            std::to_string(cgiCountValues("up")) + " " + value_at("up", 0) + bytes_of("up", 1);
        report += "\n" + file_of("up", 0) + file_of("up", 1) + file_of("up", 2) + "\n";
        report += file_of("none", 0) + bytes_of("none", 0) + file_of("up", -1) + "\n";
        // The C++ face: values as views, files as spans; cgiGetValue as ever.
        for (std::string_view v : vuvidur::cgi::values("up")) report += "[" + std::string(v) + "]";
        for (const auto &f : vuvidur::cgi::files("up")) {
            report += std::string(f.filename) + ":" + std::to_string(f.data.size()) + " ";
        }
        return report + (vuvidur::cgi::value("up", 3) ? "4th\n" : "none\n") + lookup("up");
    });
    EXPECT_EQ(
        outcome.report,
        "init 0\n3 0'text' 0'\0\r\n--b-' \n"
        "0[one.bin|application/x-thing|\0\r\n--b-] 0[G\xC3\xBC.txt|application/octet-stream|2nd] "
        "4 untouched \n0[|application/octet-stream|] 0'' 4 untouched \n"
        "[text][\0\r\n--b-][2nd]one.bin:7 G\xC3\xBC.txt:3 none\nup -> 0 'text'\n"s);
    EXPECT_NE(outcome.log.find("Calling PostFormInput\nPostFormInput succeeded\n"),
              std::string::npos);
}

TEST(CgiExtensions, NothingIsFoundWithoutARequestOrWithBadArguments) {
    Outcome outcome = run_request(get_request("a=1"), [] {
        std::string report = std::to_string(cgiCountValues("a")) + bytes_of("a", 0) + "\n";
        cgiInit();
        char buffer[4] = {'#', '#', '#', '#'};
        report += std::to_string(cgiGetValueAt("a", 0, nullptr, 4)) +
                  std::to_string(cgiGetValueAt("a", 0, buffer, 0)) +
                  std::to_string(cgiGetValueAt(nullptr, 0, buffer, 4)) + std::string(buffer, 4);
        const char *data = nullptr;
        int size = 0;
        report += std::to_string(cgiGetBytes("a", 0, nullptr, &size)) +
                  std::to_string(cgiGetBytes("a", 0, &data, nullptr)) +
                  std::to_string(cgiGetBytes(nullptr, 0, &data, &size)) +
                  std::to_string(cgiGetFile("a", 0, nullptr)) + file_of(nullptr, 0) + "\n";
        cgiUninit();
        report += std::to_string(cgiCountValues("a")) + bytes_of("a", 0) + value_at("a", 0);
        return report;
    });
    EXPECT_EQ(outcome.report, "04 untouched \n444####44444 untouched \n04 untouched 4'' ");
}
