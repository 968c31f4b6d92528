// test-platform: POSIX (each request runs in a fork()ed child)
#include "child_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "test_support.h"
#include "vuvidur.h"

namespace cgi_test {
namespace {

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::filesystem::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

[[noreturn]] void child(const std::filesystem::path &dir, const Request &request,
                        const std::function<std::string()> &script) {
    if (chdir(dir.c_str()) != 0) _exit(90);
    int in = open("stdin.bin", O_RDONLY);
    int out = open("stdout.bin", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(91);
    close(in);
    close(out);
    clearenv();
    for (const auto &[name, value] : request.environment) setenv(name.c_str(), value.c_str(), 1);
    if (request.prepare) request.prepare();
    std::string report = script();
    long consumed = static_cast<long>(lseek(0, 0, SEEK_CUR));
    std::FILE *file = std::fopen("report.bin", "wb");
    if (file == nullptr) _exit(92);
    std::fprintf(file, "%ld\n", consumed);
    std::fwrite(report.data(), 1, report.size(), file);
    std::fclose(file);
    vesk_write_coverage_before_exit();
    _exit(0);
}

}  // namespace

Outcome run_request(const Request &request, const std::function<std::string()> &script) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesk-cgi-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return {};
    std::filesystem::path dir(buffer.data());
    write_file(dir / "stdin.bin", request.body);

    std::fflush(nullptr);  // nothing buffered in the parent may be written twice
    pid_t pid = fork();
    if (pid == 0) child(dir, request, script);

    Outcome outcome;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exit_status = WEXITSTATUS(status);
    }
    std::string report = read_file(dir / "report.bin");
    size_t line_end = report.find('\n');
    if (line_end != std::string::npos) {
        outcome.stdin_consumed = std::strtol(report.c_str(), nullptr, 10);
        outcome.report = report.substr(line_end + 1);
    }
    outcome.output = read_file(dir / "stdout.bin");
    if (std::filesystem::is_regular_file(dir / "cgidebug.txt")) {
        outcome.log = read_file(dir / "cgidebug.txt");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return outcome;
}

std::string lookup(const char *name, int size) {
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '#');
    int code = cgiGetValue(name, buffer.data(), size);
    return std::string(name) + " -> " + std::to_string(code) + " '" + buffer.data() + "'\n";
}

Request get_request(const std::string &query) {
    return Request{{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}, "", {}};
}

Request post_request(const std::string &body, const std::string &content_length) {
    return Request{{{"REQUEST_METHOD", "POST"},
                    {"CONTENT_TYPE", kFormType},
                    {"CONTENT_LENGTH", content_length}},
                   body,
                   {}};
}

}  // namespace cgi_test
