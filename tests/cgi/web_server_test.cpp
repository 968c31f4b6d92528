// The example CGI program behind a real web server: lighttpd with mod_cgi on
// a loopback port chosen at run time, configured from a temporary directory,
// and driven over plain sockets with GET and POST requests.
// test-platform: POSIX (lighttpd, POSIX sockets)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vuvidur.h"

namespace fs = std::filesystem;

namespace {

// The server is a test requirement, not an option: CI installs it, and a
// machine without it must not pass this suite.
std::string find_lighttpd() {
    std::vector<fs::path> candidates = {"/usr/sbin/lighttpd", "/usr/local/sbin/lighttpd"};
    if (const char *path = std::getenv("PATH")) {
        std::stringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');)
            candidates.push_back(fs::path(dir) / "lighttpd");
    }
    for (const auto &candidate : candidates) {
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return "";
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A port that nothing listens on right now.  Another process may take it
// before the server binds it; the fixture then starts over with a new one.
int free_loopback_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(s);
    return port;
}

int connect_loopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    timeval timeout{30, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return s;
}

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;  // names lowered
    std::string body;
};

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// HTTP/1.0, so the server closes the connection after one response and the
// body is sent as is (no chunked coding).
Response http_exchange(int port, const std::string &request) {
    Response response;
    int s = connect_loopback(port);
    if (s < 0) return response;
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buffer[4096];
    for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
        raw.append(buffer, static_cast<size_t>(n));
    close(s);

    size_t head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) return response;
    response.body = raw.substr(head_end + 4);
    std::istringstream head(raw.substr(0, head_end));
    std::string line;
    std::getline(head, line);
    if (line.rfind("HTTP/1.", 0) == 0 && line.size() > 12)
        response.status = std::atoi(line.c_str() + 9);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t value = line.find_first_not_of(' ', colon + 1);
        response.headers[lower(line.substr(0, colon))] =
            value == std::string::npos ? "" : line.substr(value);
    }
    return response;
}

class CgiWebServer : public ::testing::Test {
protected:
    void SetUp() override {
        lighttpd_ = find_lighttpd();
        ASSERT_FALSE(lighttpd_.empty())
            << "lighttpd is not installed: this test needs the Debian package lighttpd";

        std::string pattern = (fs::temp_directory_path() / "vesk-httpd-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir_ = name.data();
        fs::create_directories(dir_ / "htdocs");
        fs::create_directories(dir_ / "upload");
        fs::copy_file(VESK_CGI_EXAMPLE, dir_ / "htdocs" / "form.cgi");

        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) start_server();
        ASSERT_GT(pid_, 0) << "lighttpd did not start; its error log:\n"
                           << read_file(dir_ / "error.log");
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }

    // The debug log that the CGI program wrote in its working directory.
    std::string debug_log() const { return read_file(dir_ / "htdocs" / "cgidebug.txt"); }

    Response get(const std::string &target) {
        return http_exchange(port_, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    }

    Response post(const std::string &target, const std::string &type, const std::string &body) {
        return http_exchange(
            port_, "POST " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }

private:
    void write_config() {
        std::ofstream conf(dir_ / "lighttpd.conf");
        conf << "server.modules = ( \"mod_cgi\", \"mod_setenv\" )\n"
             << "server.document-root = \"" << (dir_ / "htdocs").string() << "\"\n"
             << "server.bind = \"127.0.0.1\"\n"
             << "server.port = " << port_ << "\n"
             << "server.errorlog = \"" << (dir_ / "error.log").string() << "\"\n"
             << "server.upload-dirs = ( \"" << (dir_ / "upload").string() << "\" )\n"
             << "cgi.assign = ( \".cgi\" => \"\" )\n";
        // The server hands its CGI programs a fresh environment: pass on the
        // sanitizer settings, so that a sanitized build of the example runs
        // under the same rules as the tests.
        std::string pass;
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (const char *value = std::getenv(name)) {
                pass +=
                    std::string(pass.empty() ? "" : ", ") + "\"" + name + "\" => \"" + value + "\"";
            }
        }
        if (!pass.empty()) conf << "setenv.add-environment = ( " << pass << " )\n";
    }

    void start_server() {
        port_ = free_loopback_port();
        if (port_ == 0) return;
        write_config();
        std::string conf = (dir_ / "lighttpd.conf").string();
        pid_t pid = fork();
        if (pid == 0) {
            execl(lighttpd_.c_str(), lighttpd_.c_str(), "-D", "-f", conf.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0) return;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // failed, e.g. the port was taken
            int s = connect_loopback(port_);
            if (s >= 0) {
                close(s);
                pid_ = pid;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    std::string lighttpd_;
    fs::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace

TEST_F(CgiWebServer, GetEchoesTheDecodedQueryFields) {
    Response r =
        get("/form.cgi?name=Ada+Lovelace&message=hi%21+there%26more&fields=name,message,missing");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(r.body,
              "method: GET\n"
              "init: 0\n"
              "name [0]: Ada Lovelace\n"
              "message [0]: hi! there&more\n"
              "missing [4]: \n");
    EXPECT_NE(debug_log().find("cgiRequestMethod :GET\n"), std::string::npos) << debug_log();
    EXPECT_NE(
        debug_log().find("GetFormInput succeeded\nIn cgiUninit \nEnd of Cgi processing\n\n\n"),
        std::string::npos)
        << debug_log();
}

TEST_F(CgiWebServer, PostEchoesTheDecodedBodyFieldsNotTheQueryString) {
    Response r = post("/form.cgi?name=query", "application/x-www-form-urlencoded",
                      "name=B%C3%A9atrice&message=a%3Db%0D%0Ac&message=second&empty=%0D%0A"
                      "&fields=name,message,empty");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(r.body,
              "method: POST\n"
              "init: 0\n"
              "name [0]: B\xC3\xA9"
              "atrice\n"
              "message [0]: a=bc\n"
              "message bytes: \"a=b\\r\\nc\"\n"
              "message#1 [0]: second\n"
              "empty [3]: \n"
              "empty bytes: \"\\r\\n\"\n");
    EXPECT_NE(debug_log().find("POST recognized\nCalling PostFormInput\nPostFormInput succeeded\n"),
              std::string::npos)
        << debug_log();
}

TEST_F(CgiWebServer, PostOfAnotherContentTypeYieldsNoFields) {
    Response r = post("/form.cgi", "text/plain", "name=x");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "method: POST\ninit: 0\nname [4]: \nmessage [4]: \n");
    EXPECT_NE(debug_log().find("POST recognized\nIn cgiUninit \n"), std::string::npos)
        << debug_log();
}

TEST_F(CgiWebServer, LargePostBodyArrivesWhole) {
    std::string message(100000, 'x');
    Response r = post("/form.cgi", "application/x-www-form-urlencoded",
                      "fields=tail&message=" + message + "&tail=end");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "method: POST\ninit: 0\ntail [0]: end\n");
}

TEST_F(CgiWebServer, LocationHeaderTurnsIntoARedirect) {
    Response r = get("/form.cgi?go=http%3A%2F%2Fexample.invalid%2Fnext");
    EXPECT_EQ(r.status, 302);
    EXPECT_EQ(r.headers["location"], "http://example.invalid/next");
}

// A file upload as a browser sends it: text fields, a checkbox group, a
// textarea with CR LF, two files under one name (one binary, holding NUL,
// CR LF and a line that starts like the delimiter), an empty file input.
TEST_F(CgiWebServer, MultipartPostEchoesEveryValueAndEveryFile) {
    const std::string boundary = "----WebKitFormBoundaryq1Yv8rZcK0pX4mT2";
    std::string binary;
    for (int i = 0; i < 3000; ++i) binary.push_back(static_cast<char>(i * 7));
    binary += "\r\n--" + boundary + "x\r\n";
    binary.push_back('\0');
    auto part = [&](const std::string &disposition, const std::string &type,
                    const std::string &data) {
        return "--" + boundary + "\r\nContent-Disposition: form-data; " + disposition + "\r\n" +
               (type.empty() ? "" : "Content-Type: " + type + "\r\n") + "\r\n" + data + "\r\n";
    };
    const std::string body =
        part("name=\"fields\"", "", "name,cb,message,up,none") +
        part("name=\"name\"", "",
             "Gr\xC3\xBC\xC3\x9F"
             "e") +
        part("name=\"cb\"", "", "a") + part("name=\"cb\"", "", "c") +
        part("name=\"message\"", "", "line 1\r\nline 2") +
        part("name=\"up\"; filename=\"notes.txt\"", "text/plain", "hello\n") +
        part("name=\"up\"; filename=\"data.bin\"", "application/octet-stream", binary) +
        part("name=\"none\"; filename=\"\"", "application/octet-stream", "") + "--" + boundary +
        "--\r\n";
    Response r = post("/form.cgi", "multipart/form-data; boundary=" + boundary, body);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "text/plain; charset=utf-8");
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x",
                  vesk_crc32(0, binary.data(), static_cast<int>(binary.size())));
    EXPECT_EQ(r.body,
              "method: POST\ninit: 0\n"
              "name [0]: Gr\xC3\xBC\xC3\x9F"
              "e\n"
              "cb [0]: a\ncb#1 [0]: c\n"
              "message [0]: line 1line 2\n"
              "message bytes: \"line 1\\r\\nline 2\"\n"
              "up: file \"notes.txt\" text/plain 6 bytes crc32 363a3020\n"
              "up: file \"data.bin\" application/octet-stream " +
                  std::to_string(binary.size()) + " bytes crc32 " + crc +
                  "\n"
                  "none: file \"\" application/octet-stream 0 bytes crc32 00000000\n");
}
