/*
 * A Windows host of vuvidur.dll, written the way existing hosts are: it loads
 * the DLL with LoadLibraryA and reaches every export by its ordinal through
 * GetProcAddress(module, MAKEINTRESOURCEA(n)).
 *
 *   vesk_dll_host [path-to-vuvidur.dll]    checks the export table, then calls
 *                                           a handful of functions by ordinal
 *   vesk_dll_host --load-only [path]        loads and frees the DLL, nothing else
 *
 * Exit status 0 when every check passed, 1 otherwise (each failure is printed).
 */
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "vuvidur.h"

/* The ordinal table of the sources, as data: what the DLL must export. */
typedef struct {
    int ordinal;
    int target; /* the ordinal whose code an alias shares; its own otherwise */
    const char *name;
} TableEntry;

#define VESK_EXPORT(n, name) {n, n, #name},
#define VESK_ALIAS(n, target, name) {n, target, #name},
#define VESK_DATA(n, name) {n, n, #name},
static const TableEntry kTable[] = {
#include "frame/export_table.inc"
};
#undef VESK_EXPORT
#undef VESK_ALIAS
#undef VESK_DATA
#define TABLE_SIZE ((int)(sizeof kTable / sizeof kTable[0]))

/* Every assigned ordinal; all others are gaps.  118 in all. */
static const int kAssigned[] = {
    1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  14,  15,  16,  17,  18,
    19,  20,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35,
    36,  37,  38,  39,  40,  41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51,  52,
    100, 101, 102, 103, 104, 105, 106, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210,
    211, 212, 213, 214, 300, 301, 302, 303, 304, 305, 306, 307, 308, 309, 310, 311, 312,
    313, 314, 315, 316, 317, 318, 319, 320, 321, 322, 323, 324, 325, 326, 327, 328, 329,
    330, 331, 332, 333, 334, 335, 336, 337, 339, 340, 341, 342, 343, 344, 345, 346,
};
#define ASSIGNED_COUNT ((int)(sizeof kAssigned / sizeof kAssigned[0]))

/* Functions the original table does not have are numbered from here on; no
 * number between the two ranges is assigned. */
#define FIRST_EXTENSION 1001

/* Past the highest extension probed, to show that nothing lies beyond it. */
#define HIGHEST_PROBED 1100

static int g_failures = 0;
static HMODULE g_dll;

#define CHECK(cond, ...)                                           \
    do {                                                           \
        if (!(cond)) {                                             \
            ++g_failures;                                          \
            printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            printf(__VA_ARGS__);                                   \
            printf("\n");                                          \
        }                                                          \
    } while (0)

static FARPROC by_ordinal(int n) { return GetProcAddress(g_dll, MAKEINTRESOURCEA(n)); }

static const TableEntry *table_entry(int n) {
    for (int i = 0; i < TABLE_SIZE; ++i) {
        if (kTable[i].ordinal == n) return &kTable[i];
    }
    return NULL;
}

static int is_assigned(int n) {
    for (int i = 0; i < ASSIGNED_COUNT; ++i) {
        if (kAssigned[i] == n) return 1;
    }
    return 0;
}

/* Typed access by ordinal: a missing export is a failure, and the call is then skipped. */
#define PROC(type, n) ((type)(void *)by_ordinal(n))

static void check_export_table(void) {
    CHECK(ASSIGNED_COUNT == 118, "%d assigned ordinals listed", ASSIGNED_COUNT);
    int pending = 0;
    for (int i = 0; i < ASSIGNED_COUNT; ++i) {
        if (table_entry(kAssigned[i]) == NULL) ++pending;
    }
    int extensions = 0;
    for (int i = 0; i < TABLE_SIZE; ++i) {
        if (kTable[i].ordinal >= FIRST_EXTENSION) {
            ++extensions;
            continue;
        }
        CHECK(is_assigned(kTable[i].ordinal), "ordinal %d is in the table but unassigned",
              kTable[i].ordinal);
    }
    for (int n = 1; n <= HIGHEST_PROBED; ++n) {
        const TableEntry *e = table_entry(n);
        FARPROC p = by_ordinal(n);
        if (e == NULL) {
            CHECK(p == NULL, "ordinal %d is not in the table but resolves", n);
            continue;
        }
        CHECK(p != NULL, "ordinal %d (%s) does not resolve", n, e->name);
        if (e->target != n) {
            CHECK(p == by_ordinal(e->target), "alias %d and ordinal %d differ", n, e->target);
        }
        /* Names are not published: neither the C name nor anything else. */
        CHECK(GetProcAddress(g_dll, e->name) == NULL, "%s resolves by name", e->name);
    }
    CHECK(by_ordinal(0xFFFF) == NULL, "ordinal 65535 resolves");
    static const char *const kInternalNames[] = {
        /* frame::on_load, os::debug_output, os::set_nonblocking, mangled */
        "vesk_proc_by_ordinal",      "DllMain", "_ZN5frame7on_loadEv", "_ZN2os12debug_outputEPKc",
        "_ZN2os15set_nonblockingEj",
    };
    for (size_t i = 0; i < sizeof kInternalNames / sizeof kInternalNames[0]; ++i) {
        CHECK(GetProcAddress(g_dll, kInternalNames[i]) == NULL, "%s resolves by name",
              kInternalNames[i]);
    }
    printf("export table: %d of %d assigned ordinals built, %d still pending, %d extensions\n",
           ASSIGNED_COUNT - pending, ASSIGNED_COUNT, pending, extensions);
    /* An extension answers like any other export. */
    const char *(*version)(void) = PROC(const char *(*)(void), 1004);
    CHECK(version != NULL && strcmp(version(), VESK_VERSION_STRING) == 0,
          "vesk_version through ordinal 1004");
}

static uint32_t VESK_THREADCALL count_to(void *arg) {
    volatile LONG *counter = (volatile LONG *)arg;
    for (int i = 0; i < 1000; ++i) InterlockedIncrement(counter);
    return 42;
}

static void call_foundations(void) {
    void *(*mem_alloc)(uint32_t, uint32_t, uint32_t) =
        PROC(void *(*)(uint32_t, uint32_t, uint32_t), 1);
    void (*mem_free)(void *) = PROC(void (*)(void *), 2);
    int (*mem_set)(void *, int, uint32_t) = PROC(int (*)(void *, int, uint32_t), 315);
    int (*stub_zero_39)(int, int) = PROC(int (*)(int, int), 39);
    void (*usleep_313)(int) = PROC(void (*)(int), 313);

    unsigned char *block = mem_alloc(1, 2, 8);
    CHECK(block != NULL, "allocation through ordinal 1");
    CHECK(mem_set(block, 0x1AB, 8) == 0, "vesk_mem_set result");
    CHECK(block[0] == 0xAB && block[7] == 0xAB, "fill byte %02x", block[0]);
    mem_free(block);
    /* A caller may push arguments that the placeholder never reads. */
    CHECK(stub_zero_39(7, 8) == 0, "ordinal 39 answers 0");
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    usleep_313(30000);
    QueryPerformanceCounter(&t1);
    long slept_ms = (long)((t1.QuadPart - t0.QuadPart) * 1000 / freq.QuadPart);
    CHECK(slept_ms >= 29, "ordinal 313 slept %ld ms of 30", slept_ms);

    vesk_ring ring;
    char out[8] = {0};
    PROC(void (*)(vesk_ring *, int), 100)(&ring, 8);
    CHECK(PROC(int (*)(vesk_ring *, const void *, int), 102)(&ring, "abcdefgh", 8) == -3,
          "a ring of 8 keeps one byte free");
    CHECK(PROC(int (*)(vesk_ring *, const void *, int), 102)(&ring, "abc", 3) == 0, "ring write");
    CHECK(PROC(int (*)(const vesk_ring *), 105)(&ring) == 1, "ring has data");
    CHECK(PROC(int (*)(vesk_ring *, void *, int), 103)(&ring, out, sizeof out) == 3, "ring read");
    CHECK(memcmp(out, "abc", 3) == 0, "ring bytes");
    PROC(void (*)(vesk_ring *), 101)(&ring);

    vesk_mutex_cell *mutex = PROC(vesk_mutex_cell * (*)(uint32_t, uint32_t), 26)(0, 0);
    CHECK(mutex != NULL, "mutex through ordinal 26");
    CHECK(PROC(int (*)(vesk_mutex_cell *), 28)(mutex) == 0, "lock");
    CHECK(PROC(int (*)(vesk_mutex_cell *), 28)(mutex) == 0, "recursive lock");
    CHECK(PROC(int (*)(vesk_mutex_cell *), 29)(mutex) == 0, "unlock");
    CHECK(PROC(int (*)(vesk_mutex_cell *), 29)(mutex) == 0, "unlock");
    PROC(void (*)(vesk_mutex_cell *), 27)(mutex);
    mem_free(mutex);

    vesk_sem_cell *sem = PROC(vesk_sem_cell * (*)(uint32_t, uint32_t, int), 30)(0, 0, 0);
    CHECK(sem != NULL, "semaphore through ordinal 30");
    CHECK(PROC(int (*)(vesk_sem_cell *), 34)(sem) == VESK_WAIT_FAILED, "trywait on 0");
    CHECK(PROC(int (*)(vesk_sem_cell *), 32)(sem) == 0, "post");
    CHECK(PROC(int (*)(vesk_sem_cell *), 33)(sem) == 0, "wait");
    CHECK(PROC(int (*)(vesk_sem_cell *), 31)(sem) == 0, "destroy");
    mem_free(sem);

    /* The start routine is __stdcall, as the runtime's thread start calls it. */
    volatile LONG counter = 0;
    vesk_thread_cell cell = {0, 0};
    vesk_thread_cell *(*thread_create)(int, vesk_thread_cell *, vesk_thread_fn, void *) =
        PROC(vesk_thread_cell * (*)(int, vesk_thread_cell *, vesk_thread_fn, void *), 35);
    CHECK(thread_create(20000, &cell, count_to, (void *)&counter) == &cell, "thread create");
    HANDLE copy = NULL;
    DuplicateHandle(GetCurrentProcess(), (HANDLE)cell.handle, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    CHECK(PROC(int (*)(vesk_thread_cell *), 36)(&cell) == 0, "thread ended within the grace");
    DWORD code = 0;
    GetExitCodeThread(copy, &code);
    CHECK(code == 42 && counter == 1000, "exit code %lu, counter %ld", code, (long)counter);
    CloseHandle(copy);

    CHECK(PROC(int (*)(void), 9)() == 0, "socket start-up through ordinal 9");
    vesk_socket_t s = PROC(vesk_socket_t(*)(int, int, int), 3)(AF_INET, SOCK_DGRAM, 0);
    CHECK(s != VESK_INVALID_SOCKET, "UDP socket through ordinal 3");
    CHECK(PROC(int (*)(vesk_socket_t), 5)(s) == 0, "close");
    CHECK(PROC(int (*)(void), 10)() == 0, "socket clean-up through ordinal 10");
}

/* Families that may still be on their way into the table: called when present. */
static void call_services(void) {
    if (table_entry(322)) {
        uint32_t (*crc32)(uint32_t, const void *, int) =
            PROC(uint32_t(*)(uint32_t, const void *, int), 322);
        uint32_t crc = crc32(0, "123456789", 9);
        CHECK(crc == 0xCBF43926u, "CRC-32 of the check string: %08lx", (unsigned long)crc);
    }
    if (table_entry(327) && table_entry(328)) {
        static const uint8_t bytes[3] = {0x00, 0xAB, 0x7F};
        char text[8] = {0};
        uint8_t back[3] = {0};
        PROC(int (*)(const uint8_t *, uint16_t, char *), 327)(bytes, 3, text);
        PROC(int (*)(const char *, uint16_t, uint8_t *), 328)(text, 6, back);
        CHECK(memcmp(back, bytes, 3) == 0, "hex round trip through '%s'", text);
    }
    if (table_entry(323) && table_entry(324)) {
        const uint32_t key[4] = {1, 2, 3, 4};
        const uint32_t plain[2] = {0x01234567u, 0x89ABCDEFu};
        uint32_t cipher[2], back[2];
        PROC(void (*)(const uint32_t *, uint32_t *, const uint32_t *), 323)(plain, cipher, key);
        PROC(void (*)(const uint32_t *, uint32_t *, const uint32_t *), 324)(cipher, back, key);
        CHECK(cipher[0] != plain[0] && back[0] == plain[0] && back[1] == plain[1],
              "TEA round trip");
    }
    if (table_entry(18) && table_entry(23) && table_entry(21) && table_entry(24)) {
        vesk_list list;
        int item = 5;
        PROC(int (*)(vesk_list *), 18)(&list);
        PROC(int (*)(vesk_list *, void *, int), 23)(&list, &item, 0);
        CHECK(PROC(int (*)(const vesk_list *), 21)(&list) == 1, "list count");
        CHECK(PROC(void *(*)(const vesk_list *, int), 24)(&list, 0) == &item, "list item");
        if (table_entry(25)) PROC(int (*)(vesk_list *, int), 25)(&list, 0);
    }
    if (table_entry(41) && table_entry(44) && table_entry(45)) {
        /* TimerSpec travels by value: 60 bytes on the stack of a cdecl call. */
        TimerSpec spec;
        memset(&spec, 0, sizeof spec);
        spec.interval = 3600;
        spec.data[39] = 0x5A;
        CHECK(sizeof spec == 60, "TimerSpec is %u bytes", (unsigned)sizeof spec);
        CHECK(PROC(int (*)(void), 41)() == 0, "timer init");
        CHECK(PROC(int (*)(TimerSpec), 44)(spec) == 0, "the first timer takes slot 0");
        CHECK(PROC(int (*)(TimerSpec), 44)(spec) == 1, "the second timer takes slot 1");
        CHECK(PROC(int (*)(int), 45)(0) == 0 && PROC(int (*)(int), 45)(0) == -1, "timer remove");
        if (table_entry(46)) PROC(int (*)(void), 46)();
    }
    /* The data export: the address of the stream variable, null until cgiInit. */
    FILE **stream = (FILE **)(void *)by_ordinal(342);
    CHECK(stream != NULL && *stream == NULL, "cgiOutStream before cgiInit");
    /* The CGI extensions by ordinal: no request yet, so no field and no file. */
    vesk_cgi_file file = {"#", "#", NULL, -7};
    CHECK(sizeof file == 16, "vesk_cgi_file is %u bytes", (unsigned)sizeof file);
    CHECK(PROC(int (*)(const char *), 1005)("a") == 0, "cgiCountValues before cgiInit");
    CHECK(PROC(int (*)(const char *, int, vesk_cgi_file *), 1008)("a", 0, &file) == 4 &&
              file.size == -7,
          "cgiGetFile before cgiInit");
}

int main(int argc, char **argv) {
    int load_only = argc > 1 && strcmp(argv[1], "--load-only") == 0;
    const char *path = argc > 1 + load_only ? argv[1 + load_only] : "vuvidur.dll";
    g_dll = LoadLibraryA(path);
    if (g_dll == NULL) {
        printf("FAIL: LoadLibraryA(%s): error %lu\n", path, GetLastError());
        return 1;
    }
    if (!load_only) {
        check_export_table();
        call_foundations();
        call_services();
    }
    if (!FreeLibrary(g_dll)) {
        printf("FAIL: FreeLibrary: error %lu\n", GetLastError());
        ++g_failures;
    }
    if (!load_only) printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "passed", g_failures);
    fflush(stdout);
    return g_failures ? 1 : 0;
}
