// Whole requests through cgiInit, cgiGetValue and cgiUninit, each in a child
// process with its own environment, standard input and working directory.
// test-platform: POSIX (fork()ed children, setenv, POSIX directories)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "child_request.h"
#include "vuvidur.h"

using cgi_test::get_request;
using cgi_test::kFormType;
using cgi_test::lookup;
using cgi_test::Outcome;
using cgi_test::post_request;
using cgi_test::Request;
using cgi_test::run_request;

namespace {

// The five lines that every cgiInit writes first.
std::string head_lines(const std::string &length, const std::string &method,
                       const std::string &type, const std::string &query,
                       const std::string &length_text) {
    return "cgiContentLength :" + length + "\n" + "cgiRequestMethod :" + method + "\n" +
           "cgiContentType   :" + type + "\n" + "cgiQueryString   :" + query + "\n" +
           "cgiContentLengthString :" + length_text + "\n";
}

const std::string kUninitLines = "In cgiUninit \nEnd of Cgi processing\n\n\n";

// Init, look up the given names, uninit; the report lists every result.
std::function<std::string()> init_lookup_uninit(std::vector<std::string> names) {
    return [names] {
        std::string report = "init " + std::to_string(cgiInit()) + "\n";
        for (const auto &name : names) report += lookup(name.c_str());
        report += "uninit " + std::to_string(cgiUninit()) + "\n";
        return report;
    };
}

void expect_clean_exit(const Outcome &outcome) {
    EXPECT_TRUE(outcome.exited) << "the child died of a signal";
    EXPECT_EQ(outcome.exit_status, 0);
}

}  // namespace

TEST(CgiRequest, GetDecodesTheQueryStringAndLogsEveryStep) {
    Request request = get_request("a=1&b=hello+world%21");
    request.environment.push_back({"CONTENT_LENGTH", "12"});
    request.body = "c=3";
    Outcome outcome = run_request(request, init_lookup_uninit({"a", "b", "c"}));
    expect_clean_exit(outcome);
    EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nb -> 0 'hello world!'\nc -> 4 ''\nuninit 0\n");
    // The logged length is CONTENT_LENGTH's, not the query string's.
    EXPECT_EQ(outcome.log, head_lines("12", "GET", "", "a=1&b=hello+world%21", "12") +
                               "GetFormInput succeeded\n" + kUninitLines);
    EXPECT_EQ(outcome.stdin_consumed, 0) << "a GET must not read standard input";
}

TEST(CgiRequest, PostDecodesTheBodyNeverTheQueryString) {
    Request request = post_request("a=1&b=2", "7");
    request.environment.push_back({"QUERY_STRING", "q=9"});
    Outcome outcome = run_request(request, init_lookup_uninit({"a", "b", "q"}));
    expect_clean_exit(outcome);
    EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nb -> 0 '2'\nq -> 4 ''\nuninit 0\n");
    EXPECT_EQ(outcome.log, head_lines("7", "POST", kFormType, "q=9", "7") +
                               "POST recognized\nCalling PostFormInput\n"
                               "PostFormInput succeeded\n" +
                               kUninitLines);
}

TEST(CgiRequest, MethodIsRecognisedInAnyLetterCaseButNotByPrefix) {
    for (const char *method : {"POST", "Post", "post"}) {
        Request request = post_request("a=1", "3");
        request.environment[0].second = method;
        Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
        EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nuninit 0\n") << method;
    }
    for (const char *method : {"get", "gEt"}) {
        Request request = get_request("a=1");
        request.environment[0].second = method;
        Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
        EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nuninit 0\n") << method;
    }
    // Neither POSTED nor HEAD is handled: no fields, no line after the five.
    for (const char *method : {"POSTED", "HEAD", "GETS"}) {
        Request request = post_request("a=1", "3");
        request.environment[0].second = method;
        request.environment.push_back({"QUERY_STRING", "a=2"});
        Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
        EXPECT_EQ(outcome.report, "init 0\na -> 4 ''\nuninit 0\n") << method;
        EXPECT_EQ(outcome.log, head_lines("3", method, kFormType, "a=2", "3") + kUninitLines);
        EXPECT_EQ(outcome.stdin_consumed, 0) << method;
    }
}

TEST(CgiRequest, PostWithAnotherContentTypeYieldsNoFieldsAndLeavesTheBodyUnread) {
    for (const char *type : {
             "text/plain",
             "application/x-www-form-urlencodedx",     // a longer type, not a parameter
             "application/x-www-form; charset=UTF-8",  // a shorter one
             "text/plain; application/x-www-form-urlencoded",
         }) {
        Request request = post_request("a=1", "3");
        request.environment[1].second = type;
        Outcome outcome = run_request(request, [] {
            std::string report = "init " + std::to_string(cgiInit()) + "\n";
            report += lookup("a") + "read " + std::to_string(lseek(0, 0, SEEK_CUR)) + "\n";
            return report + "uninit " + std::to_string(cgiUninit()) + "\n";
        });
        expect_clean_exit(outcome);
        EXPECT_EQ(outcome.report, "init 0\na -> 4 ''\nread 0\nuninit 0\n") << type;
        EXPECT_EQ(outcome.log,
                  head_lines("3", "POST", type, "", "3") + "POST recognized\n" + kUninitLines);
        EXPECT_EQ(outcome.stdin_consumed, 3) << type << ": cgiUninit reads the body it left";
    }
}

// Browsers' scripts (a URLSearchParams body) send the type with a charset;
// such a POST used to decode no fields while cgiInit reported success.
TEST(CgiRequest, FormContentTypeMatchesInAnyLetterCaseAndWithParameters) {
    for (const char *type : {
             "Application/X-WWW-Form-Urlencoded",
             "application/x-www-form-urlencoded;charset=UTF-8",
             "APPLICATION/X-WWW-FORM-URLENCODED \t; charset=\"utf-8\"; x=y",
         }) {
        Request request = post_request("a=1", "3");
        request.environment[1].second = type;
        Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
        EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nuninit 0\n") << type;
    }
}

TEST(CgiRequest, PostWithoutOrWithZeroLengthSucceedsWithoutReadingInput) {
    for (bool absent : {true, false}) {
        Request request = post_request("a=1", "0");
        if (absent) request.environment.pop_back();
        Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
        SCOPED_TRACE(absent ? "CONTENT_LENGTH absent" : "CONTENT_LENGTH 0");
        EXPECT_EQ(outcome.report, "init 0\na -> 4 ''\nuninit 0\n");
        EXPECT_EQ(outcome.log, head_lines("0", "POST", kFormType, "", absent ? "" : "0") +
                                   "POST recognized\nCalling PostFormInput\n"
                                   "PostFormInput succeeded\n" +
                                   kUninitLines);
        // cgiUninit discards a body of unknown length up to the end.
        EXPECT_EQ(outcome.stdin_consumed, absent ? 3 : 0);
    }
}

TEST(CgiRequest, BodyShorterThanAnnouncedFailsAndKeepsNoField) {
    // The bytes that did arrive hold a whole pair; it must not survive.
    Outcome outcome = run_request(post_request("a=1&b=2", "50"), init_lookup_uninit({"a"}));
    expect_clean_exit(outcome);
    EXPECT_EQ(outcome.report, "init -1\na -> 4 ''\nuninit 0\n");
    EXPECT_EQ(outcome.log, head_lines("50", "POST", kFormType, "", "50") +
                               "POST recognized\nCalling PostFormInput\n"
                               "PostFormInput failed\n" +
                               kUninitLines);
}

TEST(CgiRequest, NegativeOrHugeLengthFailsWithoutCrashing) {
    struct Case {
        const char *text;
        const char *logged;
    } cases[] = {
        {"-1", "-1"},
        {"-2147483648", "-2147483648"},
        {"2147483647", "2147483647"},
        // Beyond 32 bits: saturated, never wrapped into a small length.
        {"4294967299", "2147483647"},
        {"99999999999999999999999", "2147483647"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Outcome outcome = run_request(post_request("a=1&b=2", c.text), init_lookup_uninit({"a"}));
        expect_clean_exit(outcome);
        EXPECT_EQ(outcome.report, "init -1\na -> 4 ''\nuninit 0\n");
        EXPECT_EQ(outcome.log, head_lines(c.logged, "POST", kFormType, "", c.text) +
                                   "POST recognized\nCalling PostFormInput\n"
                                   "PostFormInput failed\n" +
                                   kUninitLines);
    }
}

TEST(CgiRequest, BodyLongerThanAnnouncedIsCutAtTheAnnouncedLength) {
    Outcome outcome = run_request(post_request("a=12&b=2", "3"), init_lookup_uninit({"a", "b"}));
    EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nb -> 4 ''\nuninit 0\n");
}

TEST(CgiRequest, LargeBodyArrivesWhole) {
    std::string value(300000, 'v');
    std::string body = "a=1&big=" + value + "&z=9";
    Outcome outcome = run_request(post_request(body, std::to_string(body.size())), [] {
        std::string report = "init " + std::to_string(cgiInit()) + "\n";
        std::vector<char> buffer(400000);
        int code = cgiGetValue("big", buffer.data(), static_cast<int>(buffer.size()));
        report +=
            std::to_string(code) + " " + std::to_string(std::string(buffer.data()).size()) + "\n";
        report += lookup("z");
        return report;
    });
    EXPECT_EQ(outcome.report, "init 0\n0 300000\nz -> 0 '9'\n");
}

// Beyond the room set aside at first (16 MiB), the body keeps growing with
// what arrives; announced but missing bytes still fail.
TEST(CgiRequest, BodyBeyondTheFirstRoomArrivesWholeAndShortOneFails) {
    const std::string body = "a=" + std::string(17 * 1024 * 1024 + 5, 'v') + "&z=9";
    for (size_t extra : {size_t{0}, size_t{1}}) {
        Outcome outcome = run_request(post_request(body, std::to_string(body.size() + extra)), [] {
            std::string report = "init " + std::to_string(cgiInit()) + " ";
            const char *data = nullptr;
            int size = 0;
            report += std::to_string(cgiGetBytes("a", 0, &data, &size)) + " ";
            return report + std::to_string(size) + " " + lookup("z");
        });
        EXPECT_EQ(outcome.report,
                  extra == 0 ? "init 0 0 17825797 z -> 0 '9'\n" : "init -1 4 0 z -> 4 ''\n");
    }
}

TEST(CgiRequest, BinaryBodyBytesAreDecodedWithoutHarm) {
    static const char raw[] = "a=\x01\xff\x80&b=x\0y&c=%00z&\xfe=\x7f";
    std::string body(raw, sizeof raw - 1);
    Outcome outcome = run_request(post_request(body, std::to_string(body.size())),
                                  init_lookup_uninit({"a", "b", "c", "\xfe"}));
    expect_clean_exit(outcome);
    // A NUL byte, raw or escaped, ends the value for the reader.
    EXPECT_EQ(outcome.report,
              "init 0\na -> 0 '\x01\xff\x80'\nb -> 0 'x'\nc -> 3 ''\n\xfe -> 0 '\x7f'\nuninit 0\n");
}

TEST(CgiRequest, MissingEnvironmentIsAnEmptyRequest) {
    Outcome outcome = run_request(Request{}, init_lookup_uninit({"a", ""}));
    expect_clean_exit(outcome);
    EXPECT_EQ(outcome.report, "init 0\na -> 4 ''\n -> 4 ''\nuninit 0\n");
    EXPECT_EQ(outcome.log, head_lines("0", "", "", "", "") + kUninitLines);
}

TEST(CgiRequest, LookupFollowsTheFullnessAndLineBreakRules) {
    Request request =
        get_request("abc=abc&e=&crlf=%0D%0A%0a&t=abc%0D%0A&k=1&k=2&K=3&m=one%0D%0Atwo");
    Outcome outcome = run_request(request, [] {
        std::string report = "init " + std::to_string(cgiInit()) + "\n";
        report += lookup("abc", 4) + lookup("abc", 5) + lookup("abc", 3) + lookup("abc", 1);
        report += lookup("e", 1) + lookup("e", 2) + lookup("crlf", 2);
        report += lookup("t", 4) + lookup("t", 5);
        report += lookup("k") + lookup("K") + lookup("ABC") + lookup("m");
        return report;
    });
    EXPECT_EQ(outcome.report,
              "init 0\n"
              "abc -> 1 'abc'\nabc -> 0 'abc'\nabc -> 1 'ab'\nabc -> 1 ''\n"
              "e -> 1 ''\ne -> 3 ''\ncrlf -> 3 ''\n"
              "t -> 1 'abc'\nt -> 0 'abc'\n"
              "k -> 0 '1'\nK -> 0 '3'\nABC -> 4 ''\nm -> 0 'onetwo'\n");
}

TEST(CgiRequest, LookupRejectsBadArgumentsWithoutWriting) {
    Outcome outcome = run_request(get_request("a=1"), [] {
        std::string report = "init " + std::to_string(cgiInit()) + "\n";
        char buffer[4] = {'#', '#', '#', '#'};
        report += std::to_string(cgiGetValue(nullptr, buffer, 4)) + " ";
        report += std::to_string(cgiGetValue("a", nullptr, 4)) + " ";
        report += std::to_string(cgiGetValue("a", buffer, 0)) + " ";
        report += std::to_string(cgiGetValue("a", buffer, -5)) + " ";
        report += std::string(buffer, 4) + "\n";
        return report;
    });
    EXPECT_EQ(outcome.report, "init 0\n4 4 4 4 ####\n");
}

TEST(CgiRequest, NoFieldExistsBeforeInitOrAfterUninit) {
    Outcome before = run_request(get_request("a=1"), [] {
        std::string report = lookup("a");
        cgiInit();
        report += lookup("a");
        cgiUninit();
        report += lookup("a");
        return report;
    });
    EXPECT_EQ(before.report, "a -> 4 ''\na -> 0 '1'\na -> 4 ''\n");
}

TEST(CgiRequest, SecondInitKeepsOnlyTheNewRequestsFields) {
    Outcome outcome = run_request(get_request("a=1&b=2"), [] {
        cgiInit();
        setenv("QUERY_STRING", "b=3", 1);
        std::string report = "init " + std::to_string(cgiInit()) + "\n";
        return report + lookup("a") + lookup("b");
    });
    EXPECT_EQ(outcome.report, "init 0\na -> 4 ''\nb -> 0 '3'\n");
}

TEST(CgiRequest, LogIsAppendedToNotReplaced) {
    Request request = get_request("");
    request.prepare = [] {
        std::FILE *log = std::fopen("cgidebug.txt", "w");
        std::fputs("earlier run\n", log);
        std::fclose(log);
    };
    Outcome outcome = run_request(request, init_lookup_uninit({}));
    EXPECT_EQ(outcome.log, "earlier run\n" + head_lines("0", "GET", "", "", "") +
                               "GetFormInput succeeded\n" + kUninitLines);
}

TEST(CgiRequest, LogThatCannotBeOpenedIsSkipped) {
    Request request = get_request("a=1");
    // A directory in the log's place: no process can open it for appending.
    request.prepare = [] { mkdir("cgidebug.txt", 0700); };
    Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
    expect_clean_exit(outcome);
    // The request is served; only cgiUninit tells that its lines were lost.
    EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nuninit -1\n");
}

// The log records every query string: VESK_CGI_LOG moves it or switches it
// off, and the request is served the same either way.
TEST(CgiRequest, LogVariableMovesTheLogOrSwitchesItOff) {
    Request off = get_request("token=secret");
    off.environment.push_back({"VESK_CGI_LOG", "off"});
    Outcome outcome = run_request(off, [] {
        std::string report = init_lookup_uninit({"token"})();
        return report + (std::filesystem::exists("off") ? "a file called off\n" : "");
    });
    expect_clean_exit(outcome);
    // Nothing was lost, so cgiUninit reports 0.
    EXPECT_EQ(outcome.report, "init 0\ntoken -> 0 'secret'\nuninit 0\n");
    EXPECT_EQ(outcome.log, "");

    Request moved = get_request("a=1");
    moved.environment.push_back({"VESK_CGI_LOG", "logs/requests.txt"});
    moved.prepare = [] { mkdir("logs", 0700); };
    outcome = run_request(moved, [] {
        std::string report = init_lookup_uninit({"a"})();
        std::ifstream log("logs/requests.txt", std::ios::binary);
        return report + std::string(std::istreambuf_iterator<char>(log), {});
    });
    EXPECT_EQ(outcome.report, "init 0\na -> 0 '1'\nuninit 0\n" +
                                  head_lines("0", "GET", "", "a=1", "") +
                                  "GetFormInput succeeded\n" + kUninitLines);
    EXPECT_EQ(outcome.log, "") << "written to cgidebug.txt as well";

    Request empty = get_request("a=1");
    empty.environment.push_back({"VESK_CGI_LOG", ""});
    outcome = run_request(empty, init_lookup_uninit({"a"}));
    EXPECT_EQ(outcome.log,
              head_lines("0", "GET", "", "a=1", "") + "GetFormInput succeeded\n" + kUninitLines)
        << "an empty setting keeps the usual log";
}

// A malformed multipart body fails cgiInit; the whole part before the fault
// must not survive, and cgiUninit still takes the body.
TEST(CgiMultipart, MalformedBodyFailsInitWithNoFieldLeft) {
    const std::string good = "--b\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n--b--";
    for (const auto &[type, body] : std::vector<std::pair<std::string, std::string>>{
             {"multipart/form-data", good},                            // no boundary
             {"multipart/form-data; boundary=b", good.substr(0, 50)},  // no closing line
             {"Multipart/Form-Data; boundary=\"b\"", ""}}) {           // no body
        Request request = post_request(body, std::to_string(body.size()));
        request.environment[1].second = type;
        Outcome outcome = run_request(request, init_lookup_uninit({"a"}));
        EXPECT_EQ(outcome.report, "init -1\na -> 4 ''\nuninit 0\n") << type;
        EXPECT_NE(outcome.log.find("Calling PostFormInput\nPostFormInput failed\n"),
                  std::string::npos)
            << outcome.log;
        EXPECT_EQ(outcome.stdin_consumed, static_cast<long>(body.size()));
    }
}

// A server may reset the connection when the program ends with the request
// body unread: cgiUninit reads and discards what is left of a POST body, and
// no more than that.
TEST(CgiBodyDrain, UninitDiscardsWhatIsLeftAndNothingBeyondIt) {
    struct Case {
        const char *type;
        const char *length;  // nullptr: CONTENT_LENGTH unset
        int read_by_program;
        const char *program_got;  // what the program read between init and uninit
        const char *beyond;       // what standard input still held after cgiUninit
    } cases[] = {
        {"text/plain", "11", 0, "", ""},
        {"text/plain", "11", 5, "hello", ""},   // what the program read stays read
        {"text/plain", "5", 0, "", " world"},   // only the announced length
        {"text/plain", "5", 7, "hello w", ""},  // up to 5 more bytes, ended by the input
        {"text/plain", nullptr, 0, "", ""},     // no length: up to the end
        {"text/plain", "0", 0, "", "hello world"},
        {"text/plain", "-5", 0, "", "hello world"},
        {kFormType, "5", 0, "", " world"},  // cgiInit read the five bytes, nothing more
        {kFormType, "50", 0, "", ""},       // short body: cgiInit failed at the end
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + (c.length ? c.length : "unset") + " " +
                     std::to_string(c.read_by_program));
        Request request = post_request("hello world", c.length ? c.length : "");
        request.environment[1].second = c.type;
        if (c.length == nullptr) request.environment.pop_back();
        int read_by_program = c.read_by_program;
        Outcome outcome = run_request(request, [read_by_program] {
            cgiInit();
            std::string got(static_cast<size_t>(read_by_program), '\0');
            got.resize(std::fread(got.data(), 1, got.size(), stdin));
            cgiUninit();
            char rest[64];
            size_t beyond = std::fread(rest, 1, sizeof rest, stdin);
            return got + "|" + std::string(rest, beyond);
        });
        expect_clean_exit(outcome);
        EXPECT_EQ(outcome.report, std::string(c.program_got) + "|" + c.beyond);
    }
}

TEST(CgiBodyDrain, LargeBodyIsDiscardedWholeAndOtherMethodsNeverRead) {
    std::string body(300000, 'b');
    Request post = post_request(body, std::to_string(body.size()));
    post.environment[1].second = "multipart/mixed";
    Outcome outcome = run_request(post, init_lookup_uninit({}));
    EXPECT_EQ(outcome.stdin_consumed, static_cast<long>(body.size()));

    Request put = post_request(body, std::to_string(body.size()));
    put.environment[0].second = "PUT";
    EXPECT_EQ(run_request(put, init_lookup_uninit({})).stdin_consumed, 0);
    // cgiUninit without a cgiInit has no request whose body it could read.
    Outcome alone = run_request(post, [] { return std::to_string(cgiUninit()); });
    EXPECT_EQ(alone.stdin_consumed, 0);
}

TEST(CgiHeaders, WriteACompleteHeaderBlockToTheResponseStream) {
    Outcome outcome = run_request(get_request(""), [] {
        cgiInit();
        std::string report = std::to_string(cgiOutStream == stdout) + " ";
        report += std::to_string(cgiPrintContentType("text/html")) + " ";
        report += std::to_string(cgiPrintLocation("/next")) + " ";
        // No header text: refused, nothing written.
        report += std::to_string(cgiPrintContentType(nullptr)) + " ";
        report += std::to_string(cgiPrintLocation(nullptr)) + "\n";
        std::fputs("body", cgiOutStream);
        cgiUninit();  // flushes standard output; the child then ends with _exit
        return report;
    });
    EXPECT_EQ(outcome.report, "1 25 17 -1 -1\n");
    EXPECT_EQ(outcome.output, "Content-type: text/html\n\nLocation: /next\n\nbody");
}

TEST(CgiHeaders, BeforeInitAreRefusedWithoutWriting) {
    Outcome outcome = run_request(get_request(""), [] {
        std::string report = std::to_string(cgiOutStream == nullptr) + " ";
        report += std::to_string(cgiPrintContentType("text/html")) + " ";
        report += std::to_string(cgiPrintLocation("/next")) + "\n";
        std::fflush(stdout);
        return report;
    });
    EXPECT_EQ(outcome.report, "1 -1 -1\n");
    EXPECT_EQ(outcome.output, "");
}

TEST(CgiHeaders, FollowTheStreamThatCgiOutStreamNamesAtTheCall) {
    Outcome outcome = run_request(get_request(""), [] {
        cgiInit();
        std::FILE *other = std::fopen("other.txt", "w+");
        cgiOutStream = other;
        std::string report = std::to_string(cgiPrintContentType("text/plain")) + " ";
        std::fflush(other);
        std::rewind(other);
        char text[64] = {};
        report += std::to_string(std::fread(text, 1, sizeof text - 1, other)) + " ";
        report += text;
        std::fclose(other);
        cgiOutStream = stdout;
        cgiUninit();
        return report;
    });
    EXPECT_EQ(outcome.report, "26 26 Content-type: text/plain\n\n");
    EXPECT_EQ(outcome.output, "");
}
