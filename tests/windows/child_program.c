/*
 * A child process for the process tests:
 *   vesk_test_child exit N          ends at once with exit code N
 *   vesk_test_child sleep MS        sleeps MS milliseconds, then exit code 0
 *   vesk_test_child args A B ...    exit code 0 when its arguments after "args"
 *                                   are exactly "one two", "three"; else 1
 *   vesk_test_child console         exit code 0 when it has a console of its own
 *                                   (not the parent's, whose process id is
 *                                   the second argument); else 1
 */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[1], "exit") == 0) return atoi(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "sleep") == 0) {
        Sleep((DWORD)atoi(argv[2]));
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "args") == 0) {
        return argc == 4 && strcmp(argv[2], "one two") == 0 && strcmp(argv[3], "three") == 0 ? 0
                                                                                             : 1;
    }
    if (argc >= 3 && strcmp(argv[1], "console") == 0) {
        /* A new console lists this process and no process of the parent. */
        DWORD ids[16];
        DWORD n = GetConsoleProcessList(ids, 16);
        if (n == 0) return 1;
        DWORD parent = (DWORD)strtoul(argv[2], NULL, 10);
        for (DWORD i = 0; i < n && i < 16; ++i) {
            if (ids[i] == parent) return 1;
        }
        return 0;
    }
    return 100;
}
