/* CGI: one GET and one POST request through the example CGI program
 * cgi_form, run directly as a child process the way a web server runs it:
 * the request in environment variables, the POST body on its standard input,
 * the response read from its standard output. */
#define _DEFAULT_SOURCE /* mkdtemp, setenv, readlink */
#include <stdio.h>

#include "demo.h"

#if defined(_WIN32)

int demo_cgi(void) {
    puts("(this part of the demonstration runs on POSIX systems)");
    return 0;
}

#else

#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum { RESPONSE_SIZE = 4096 };

/* cgi_form lives beside the demo program. */
static int find_example(char *path, size_t size) {
    ssize_t n = readlink("/proc/self/exe", path, size - 1);
    if (n <= 0) return -1;
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    if (slash == NULL || (size_t)(slash + 1 - path) + sizeof "cgi_form" > size) return -1;
    strcpy(slash + 1, "cgi_form");
    return access(path, X_OK);
}

static void set_or_unset(const char *name, const char *value) {
    if (value != NULL) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

/* Runs the CGI program in `dir` with the given request; its response lands
 * in `response`.  0 when it ran and exited with status 0. */
static int run_cgi(const char *program, const char *dir, const char *method, const char *query,
                   const char *type, const char *body, char *response, size_t size) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0) return -1;
    if (pipe(from_child) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return -1;
    }
    char length[32];
    snprintf(length, sizeof length, "%zu", body != NULL ? strlen(body) : (size_t)0);

    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        if (chdir(dir) != 0) _exit(126);
        set_or_unset("REQUEST_METHOD", method);
        set_or_unset("QUERY_STRING", query);
        set_or_unset("CONTENT_TYPE", type);
        set_or_unset("CONTENT_LENGTH", body != NULL ? length : NULL);
        execl(program, program, (char *)NULL);
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    if (pid > 0 && body != NULL) {
        /* Small enough for the pipe: written whole before the response is read. */
        if (write(to_child[1], body, strlen(body)) < 0) perror("write");
    }
    close(to_child[1]);

    size_t used = 0;
    ssize_t n;
    while (used + 1 < size && (n = read(from_child[0], response + used, size - 1 - used)) > 0) {
        used += (size_t)n;
    }
    response[used] = '\0';
    close(from_child[0]);

    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

static void show(const char *label, const char *text) {
    printf("  %s:\n", label);
    const char *line = text;
    while (*line != '\0') {
        const char *end = strchr(line, '\n');
        int length = end != NULL ? (int)(end - line) : (int)strlen(line);
        printf("    | %.*s\n", length, line);
        line += length + (end != NULL);
    }
}

static int show_request(const char *program, const char *dir, const char *method, const char *query,
                        const char *type, const char *body, const char *expected) {
    char response[RESPONSE_SIZE];
    printf("%s request", method);
    if (query != NULL) printf(", query string \"%s\"", query);
    if (body != NULL) printf(", body \"%s\"", body);
    printf("\n");
    int rc = run_cgi(program, dir, method, query, type, body, response, sizeof response);
    show("response (header block, then the decoded fields echoed back)", response);
    if (rc != 0 || strstr(response, expected) == NULL) {
        printf("  expected the line \"%s\"\n", expected);
        return 1;
    }
    return 0;
}

int demo_cgi(void) {
    char program[4096];
    if (find_example(program, sizeof program) != 0) {
        puts("cgi_form was not found beside the demo program");
        return 1;
    }
    char dir[] = "/tmp/vesk-demo-cgi-XXXXXX";
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 1;
    }

    int failures = 0;
    failures += show_request(program, dir, "GET", "name=Ada+Lovelace&message=hello+world%21", NULL,
                             NULL, "message [0]: hello world!");
    failures +=
        show_request(program, dir, "POST", "name=ignored", "application/x-www-form-urlencoded",
                     "name=Grace&message=caf%C3%A9+%3D+coffee&fields=name,message,missing",
                     "message [0]: caf\xC3\xA9 = coffee");

    /* The trace that both requests appended to the debug log. */
    char log_path[sizeof dir + 16];
    snprintf(log_path, sizeof log_path, "%s/cgidebug.txt", dir);
    FILE *log = fopen(log_path, "r");
    if (log != NULL) {
        char text[RESPONSE_SIZE];
        size_t n = fread(text, 1, sizeof text - 1, log);
        text[n] = '\0';
        fclose(log);
        show("cgidebug.txt after both requests", text);
    } else {
        puts("  no debug log was written");
        failures++;
    }
    remove(log_path);
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}

#endif
