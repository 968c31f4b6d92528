/*
 * vuvidur.h -- the one public header of Vuvidur.
 *
 * Vuvidur is a shared library of common services for server programs and CGI
 * programs: memory, mutexes, semaphores, threads, sockets, processes, a ring
 * buffer, a blocking queue, a list, strings, random numbers, a socket engine,
 * CRC-32, TEA, ticket authentication, timers, a settings-file reader and CGI
 * request handling.
 *
 * Conventions shared by every function below:
 *   - 0 means success and a negative number failure; -1 nearly always means a
 *     bad argument (null pointer, non-positive length, number out of range).
 *     Creation functions return a pointer or NULL; test functions return 1 or
 *     0; the synchronisation waits return 16 when they do not succeed.
 *   - A block that a function allocates and returns belongs to the caller, who
 *     releases it with vesk_mem_free.  Destroy functions close the operating
 *     system object but leave the handle cell to its owner.
 *   - Nobody tests the result of vesk_mem_alloc: it never returns NULL.
 *   - Lengths and counts are signed 32-bit integers.
 *
 * Valid C99 and C++.  On Windows the DLL exports every function by ordinal
 * only; on ELF platforms the C names below are the exports and
 * vesk_proc_by_ordinal resolves the ordinal table.
 */
#ifndef VUVIDUR_H
#define VUVIDUR_H

/* The release this header belongs to.  vesk_version() answers the library's
 * own VESK_VERSION_STRING, so a program can tell the header it was compiled
 * with from the library it runs with.  Releases with the same major number
 * keep every ordinal, prototype, record layout and result code. */
#define VESK_VERSION_MAJOR 1
#define VESK_VERSION_MINOR 0
#define VESK_VERSION_PATCH 0
#define VESK_VERSION_STRING "1.0.0"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#define VESK_API
#define VESK_THREADCALL __stdcall
#else
#define VESK_API __attribute__((visibility("default")))
#define VESK_THREADCALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct sockaddr;

/* ======================================================================
 * Library frame and memory
 * ====================================================================== */

/* Allocates `size` bytes (contents undefined).  tag1 and tag2 are ignored.
 * Never returns NULL: when the allocator fails the process writes one line
 * naming the cause to standard error and exits with status 1.  A request for
 * 0 bytes returns a valid block. */
VESK_API void *vesk_mem_alloc(uint32_t tag1, uint32_t tag2, uint32_t size);

/* Releases a block from vesk_mem_alloc, vesk_mem_realloc or malloc.  NULL is
 * ignored. */
VESK_API void vesk_mem_free(void *block);

/* The standard realloc: the new block, or NULL when it failed (the old block
 * is then untouched and still the caller's).  Never ends the process. */
VESK_API void *vesk_mem_realloc(void *block, uint32_t size);

/* Fills `len` bytes at `buf` with the low byte of `fill`.  Always 0. */
VESK_API int vesk_mem_set(void *buf, int fill, uint32_t len);

/* Stores `value` in the library's debug word (read by nothing).  Always 0. */
VESK_API int vesk_set_debug_word(int value);

/* Placeholders kept in the ordinal table: vesk_stub_zero (ordinals 37, 39)
 * returns 0, vesk_stub_void (40, 311, 312, 346) does nothing.  Neither reads
 * any argument a caller may push. */
VESK_API int vesk_stub_zero(void);
VESK_API void vesk_stub_void(void);

/* Resolves an ordinal the way the Windows loader does: the address of the
 * assigned function (or, for 342, of the variable cgiOutStream); aliases give
 * the same address; NULL for an unassigned or out-of-range number.  Covers the
 * whole table: the original ordinals 1 to 346 and the extensions from 1001 on
 * (vesk_version is 1004).  Not itself in the ordinal table. */
VESK_API void *vesk_proc_by_ordinal(int ordinal);

/* The library's version, "MAJOR.MINOR.PATCH": VESK_VERSION_STRING as the
 * library was built.  A static string; any thread.  (An extension: Windows
 * ordinal 1004.) */
VESK_API const char *vesk_version(void);

/* Load and unload messages: loading writes "\n Load Vuvidur\n" and unloading
 * "\n UnLoad Vuvidur\n" to the debug-output channel.  On Windows that is
 * OutputDebugStringA; elsewhere the environment variable VESK_DEBUG_OUTPUT
 * chooses: unset or empty discards the text, "stderr" writes it to standard
 * error, any other value is a file path opened for appending. */

/* ======================================================================
 * Mutexes, semaphores, threads and sleeping
 * ====================================================================== */

typedef struct vesk_mutex_cell vesk_mutex_cell; /* opaque, one word */
typedef struct vesk_sem_cell vesk_sem_cell;     /* opaque, one word */
typedef struct vesk_thread_cell {
    uintptr_t handle; /* the platform's thread handle */
    uint32_t id;      /* the kernel's thread identifier */
} vesk_thread_cell;
typedef uint32_t(VESK_THREADCALL *vesk_thread_fn)(void *arg);

/* Wait result of a lock or wait that did not succeed (numerically EBUSY). */
#define VESK_WAIT_FAILED 16

/* A recursive, owner-held mutex.  NULL when the platform refuses one.  The
 * tags are ignored.  Destroy closes the mutex (NULL: nothing) but leaves the
 * cell: release it with vesk_mem_free. */
VESK_API vesk_mutex_cell *vesk_mutex_create(uint32_t tag1, uint32_t tag2);
VESK_API void vesk_mutex_destroy(vesk_mutex_cell *cell);
/* 0 when the mutex is held; 16 when the wait did not succeed -- including the
 * case where the previous owner ended without unlocking, after which the
 * caller nevertheless holds the mutex; -1 for a NULL cell.  The owner may lock
 * again and must unlock as often. */
VESK_API int vesk_mutex_lock(vesk_mutex_cell *cell);
/* 0 whether or not the release succeeded; -1 for a NULL cell. */
VESK_API int vesk_mutex_unlock(vesk_mutex_cell *cell);

/* A counting semaphore starting at `initial` (maximum 0x7FFFFFFF); NULL when
 * the platform refuses (for instance a negative initial count).  Destroy
 * always returns 0 and leaves the cell to the caller. */
VESK_API vesk_sem_cell *vesk_sem_create(uint32_t tag1, uint32_t tag2, int initial);
VESK_API int vesk_sem_destroy(vesk_sem_cell *cell);
/* Adds one unit: 0 (a post beyond the maximum fails silently); -1 NULL cell. */
VESK_API int vesk_sem_post(vesk_sem_cell *cell);
/* Takes one unit, waiting as long as needed: 0, 16 when the wait failed, -1
 * for a NULL cell. */
VESK_API int vesk_sem_wait(vesk_sem_cell *cell);
/* Takes one unit only if one is there now: 0, else 16; -1 for a NULL cell. */
VESK_API int vesk_sem_trywait(vesk_sem_cell *cell);

/* Starts `start(arg)` on a new thread.  `reserved` is not used.  With a NULL
 * cell a new one is allocated (the caller releases it with vesk_mem_free);
 * otherwise the caller's cell is filled and returned.  Handle and id are both
 * set before this returns.  On failure "Error while creating a new thread\n"
 * goes to standard output and the result is NULL (a cell allocated here is
 * released; the caller's own is left alone). */
VESK_API vesk_thread_cell *vesk_thread_create(int reserved, vesk_thread_cell *cell,
                                              vesk_thread_fn start, void *arg);
/* The stop policy: waits up to 1000 ms for the thread to end (0); otherwise
 * terminates it by force (-1; the thread is gone when this returns).  Call it
 * exactly once per created thread, never from the thread itself.  The cell is
 * not released.  -1 for a NULL cell. */
VESK_API int vesk_thread_destroy(vesk_thread_cell *cell);
/* Ends the calling thread with exit code 0.  Does not return. */
VESK_API void vesk_thread_exit(void);
/* Sleeps usec / 1000 milliseconds, truncated: below 1000 only yields the
 * processor.  A negative value sleeps 0 ms. */
VESK_API void vesk_usleep(int usec);

/* ======================================================================
 * Sockets and processes
 * ====================================================================== */

#if defined(_WIN32)
typedef uintptr_t vesk_socket_t; /* the platform's SOCKET */
#else
typedef int vesk_socket_t;
#endif
/* The invalid socket value: all bits set. */
#define VESK_INVALID_SOCKET ((vesk_socket_t)-1)

/* socket(af, type, protocol).  On failure the invalid socket value, and
 * "bind error!" with the error's description on standard error (perror). */
VESK_API vesk_socket_t vesk_socket_create(int af, int type, int protocol);
/* The socket layer's own results: 0 / byte counts, or -1 (the error number
 * tells why).  vesk_socket_send always sends with no flags; on POSIX neither
 * send function raises SIGPIPE on a broken connection (-1, EPIPE instead). */
VESK_API int vesk_socket_bind(vesk_socket_t s, const struct sockaddr *addr, int addrlen);
VESK_API int vesk_socket_close(vesk_socket_t s);
VESK_API int vesk_socket_send(vesk_socket_t s, const void *buf, int len);
VESK_API int vesk_socket_sendto(vesk_socket_t s, const void *buf, int len, int flags,
                                const struct sockaddr *to, int tolen);
VESK_API int vesk_socket_recvfrom(vesk_socket_t s, void *buf, int len, int flags,
                                  struct sockaddr *from, int *fromlen);
/* Starts / releases the socket layer (version 2.2 on Windows).  0 on success,
 * else the platform's error code.  POSIX has nothing to do: both return 0. */
VESK_API int vesk_socket_startup(void);
VESK_API int vesk_socket_cleanup(void);

/* Windows: the platform's PROCESS_INFORMATION.  POSIX: process = the child's
 * pid, thread = 0, process_id = pid, thread_id = 0; the caller reaps the child
 * (waitpid). */
typedef struct vesk_process_info {
    intptr_t process;
    intptr_t thread;
    uint32_t process_id;
    uint32_t thread_id;
} vesk_process_info;

/* Starts `cmdline` (its first word names the program, looked up on the PATH)
 * in a new console / session.  On POSIX the line is split into words at
 * blanks, double quotes grouping.  0 started, printing
 * "\r\nvesk_process_create OK! hProc = %u" on standard output; -2 for a NULL
 * argument (nothing printed); -3 when the process could not be started,
 * printing "\r\nErr = %d" with the platform's error number. */
VESK_API int vesk_process_create(char *cmdline, vesk_process_info *pi);
/* Ends a process: 0 when it was terminated, -1 otherwise.  On POSIX this is
 * SIGKILL (the exit code cannot be imposed) and a process value of 0 or below
 * is refused with -1, since kill() would read it as a process group. */
VESK_API int vesk_process_kill(intptr_t process, uint32_t exit_code);

/* ======================================================================
 * Ring buffer
 * ====================================================================== */

/* A circular byte buffer.  One byte is always kept free, so equal positions
 * mean empty: a ring of `size` bytes stores at most size - 1.  Writes are
 * all-or-nothing.  The ring has no lock: callers sharing one between threads
 * hold a mutex around every call.  No function checks `ring` for NULL. */
typedef struct vesk_ring {
    uint8_t *storage;
    int32_t read_pos;
    int32_t write_pos;
    int32_t size;
} vesk_ring;

/* Results of vesk_ring_write and vesk_ring_read (a read that took bytes
 * returns their count instead). */
#define VESK_RING_OK 0              /* write: every byte stored */
#define VESK_RING_EMPTY 0           /* read: nothing stored */
#define VESK_RING_BAD_ARGUMENT (-1) /* NULL src / dst, or len <= 0 */
#define VESK_RING_CORRUPT (-2)      /* positions outside their bounds; nothing changed */
#define VESK_RING_NO_ROOM (-3)      /* write: not enough free room; nothing stored, retry later */

/* Allocates and zero-fills `size` bytes of storage; both positions 0.  A
 * negative size is taken as 0 (a ring that stores nothing). */
VESK_API void vesk_ring_init(vesk_ring *ring, int size);
/* Releases the storage; the other fields are left as they are. */
VESK_API void vesk_ring_free(vesk_ring *ring);
/* Stores all `len` bytes: 0 VESK_RING_OK; -1 VESK_RING_BAD_ARGUMENT, NULL
 * src or len <= 0 (checked first); -2 VESK_RING_CORRUPT, positions outside
 * their bounds (nothing changed); -3 VESK_RING_NO_ROOM, not enough free room
 * (nothing stored, retry later). */
VESK_API int vesk_ring_write(vesk_ring *ring, const void *src, int len);
/* Takes min(len, stored) bytes in write order: that count; 0
 * VESK_RING_EMPTY when empty; -1 VESK_RING_BAD_ARGUMENT, NULL dst or
 * len <= 0; -2 VESK_RING_CORRUPT. */
VESK_API int vesk_ring_read(vesk_ring *ring, void *dst, int len);
/* 1 when the positions are equal (empty), else 0; has_data the opposite. */
VESK_API int vesk_ring_is_empty(const vesk_ring *ring);
VESK_API int vesk_ring_has_data(const vesk_ring *ring);
/* Drops everything stored: both positions 0 (the bytes are not cleared). */
VESK_API void vesk_ring_reset(vesk_ring *ring);

/* ======================================================================
 * Blocking message queue
 * ====================================================================== */

/* A first-in, first-out queue of pointer-sized items between threads: any
 * number of producers and consumers.  Producers never block (a put is
 * appended at once or refused when full); consumers take with a blocking or a
 * non-blocking call.  The record is the caller's; the library keeps the items
 * in segments of slots that it allocates and releases itself.  Items are
 * opaque: the queue never looks into them nor releases them.  Queue non-NULL
 * items: a NULL item cannot be told from "nothing taken". */

#define VESK_MSGQ_NORMAL 0
#define VESK_MSGQ_FULL 1
#define VESK_MSGQ_EMPTY 2
/* The most items a queue holds; a put beyond it is refused. */
#define VESK_MSGQ_MAX_ITEMS 500000
/* Results of vesk_msgq_put (and vesk_msgq_count's answer for a NULL queue). */
#define VESK_MSGQ_OK 0
#define VESK_MSGQ_REFUSED (-1) /* the queue is full, or NULL: the item stays the caller's */

typedef struct vesk_msgq {
    vesk_mutex_cell *lock;              /* guards every other field */
    vesk_sem_cell *items;               /* wakes consumers asleep in vesk_msgq_get */
    struct vesk_msgq_node *head, *tail; /* oldest, newest segment; NULL: empty */
    int32_t count;
    int32_t state; /* VESK_MSGQ_NORMAL, VESK_MSGQ_FULL or VESK_MSGQ_EMPTY */
} vesk_msgq;

/* Makes `q` an empty queue: creates its mutex and semaphore, count 0, state
 * VESK_MSGQ_EMPTY.  NULL: nothing. */
VESK_API void vesk_msgq_create(vesk_msgq *q);
/* Destroys the mutex and the semaphore and releases their cells; segments
 * still queued are released too, their items stay the caller's (drain the
 * queue first to get them back).  Consumers blocked in vesk_msgq_get are woken
 * (they return NULL) and destroy returns once they have left the queue; no
 * other call on the queue may start during destroy.  The record must be created
 * anew before further use.  NULL: nothing. */
VESK_API void vesk_msgq_destroy(vesk_msgq *q);
/* Appends `item`: 0; -1 when the queue already holds VESK_MSGQ_MAX_ITEMS
 * (nothing appended, the item stays the caller's), or `q` is NULL or
 * destroyed.  Never blocks on a full queue.  Items come out in the order in
 * which their puts took the queue's mutex. */
VESK_API int vesk_msgq_put(vesk_msgq *q, void *item);
/* The number of queued items, read under the mutex; -1 for a NULL `q`. */
VESK_API int vesk_msgq_count(vesk_msgq *q);
/* Takes the oldest item, waiting as long as it takes; NULL only when the
 * queue is destroyed (before or during the wait), the wait on the semaphore
 * failed, or `q` is NULL. */
VESK_API void *vesk_msgq_get(vesk_msgq *q);
/* Takes the oldest item if one is queued now; otherwise NULL at once. */
VESK_API void *vesk_msgq_tryget(vesk_msgq *q);

/* ======================================================================
 * Linked list
 * ====================================================================== */

/* An indexed, singly linked list of pointer-sized items: index 0 is the
 * first item, count - 1 the last.  Get, insert and remove at index i walk i
 * nodes; at the front they are constant-time.  The list owns its nodes; items
 * stay the caller's, except that the two clear operations release every item
 * with vesk_mem_free (so a list that is cleared holds only items from
 * vesk_mem_alloc or malloc).  No lock: callers sharing a list serialise their
 * calls.  `first` is meaningful only while count > 0. */
typedef struct vesk_list {
    int32_t count;
    struct vesk_list_node *first;
} vesk_list;

/* Makes the list empty (count 0) without releasing anything.  Always 0. */
VESK_API int vesk_list_init(vesk_list *list);
/* Removes every item, front first: calls fn(item) once the item's node has
 * left the list (fn's result is ignored; fn may be NULL), then releases the
 * item with vesk_mem_free.  Afterwards count is 0 and the list takes inserts
 * without another init.  NULL list: nothing. */
VESK_API void vesk_list_clear_with(vesk_list *list, int (*fn)(void *item));
/* vesk_list_clear_with without the call. */
VESK_API void vesk_list_clear(vesk_list *list);
/* The number of items; -1 for a NULL list. */
VESK_API int vesk_list_count(const vesk_list *list);
/* 1 when `index` >= count (no item there), else 0; a negative index gives 0
 * (kept for compatibility: it is not "past the end").  NULL list: 1. */
VESK_API int vesk_list_past_end(const vesk_list *list, int index);
/* Inserts `item` so that it stands at index `pos`; the items from `pos` on
 * move up by one.  -1, or any pos >= count, appends.  Returns the new count
 * (-1 for a NULL list).  Kept for compatibility: a pos below -1 puts the item
 * at index 1 of a non-empty list (at index 0 of an empty one). */
VESK_API int vesk_list_insert(vesk_list *list, void *item, int pos);
/* The item at `index`; NULL when index < 0 or index >= count (or NULL list). */
VESK_API void *vesk_list_get(const vesk_list *list, int index);
/* Removes the item at `index` (its node is released, the item is not): the
 * new count; -1 when index < 0 or index >= count (nothing removed) or the
 * list is NULL. */
VESK_API int vesk_list_remove(vesk_list *list, int index);

/* ======================================================================
 * String helpers and random numbers
 * ====================================================================== */

/* Zero-terminated byte strings.  A blank is space, CR, LF or tab.  Text that
 * a function returns as new comes from vesk_mem_alloc: the caller releases it
 * with vesk_mem_free.  No shared state: any thread, on different strings. */

/* Removes leading and trailing blanks in place (all blanks: the empty text).
 * 0; -1 for NULL. */
VESK_API int vesk_str_trim(char *text);
/* Copies exactly `n` bytes (zero bytes included, it does not stop at one) and
 * writes a zero at dst + n: `dst` holds n + 1 bytes.  Returns `dst`.  A
 * negative `n` copies nothing and writes the zero at dst[0]. */
VESK_API char *vesk_str_ncopy(char *dst, const char *src, int n);
/* A new copy of `text`; NULL for NULL or for the empty text (kept for
 * compatibility: not an empty copy).  The tags are ignored. */
VESK_API char *vesk_str_dup(const char *text, uint32_t tag1, uint32_t tag2);
/* The first double quote that is not escaped, i.e. not preceded by an odd
 * number of consecutive backslashes ("\\\"" is escaped, "\\\\\"" is not);
 * NULL when there is none (or for NULL). */
VESK_API char *vesk_str_find_quote(const char *text);
/* Lower-cases every byte in place with the standard tolower (the current
 * locale; in the default one only A to Z change).  Always 0. */
VESK_API int vesk_str_lower(char *text);
/* The standard atoi: optional white space and sign, decimal digits, stops at
 * the first other byte; 0 without digits (or for NULL).  Values beyond the
 * int range give INT_MAX or INT_MIN. */
VESK_API int vesk_str_to_int(const char *text);
/* Cuts the field before the first `delim` (compared with each byte as a
 * signed char value: pass a byte of 0x80 or above as its negative value).
 * 0: *token_out receives a new copy of the field, *rest_out the position just
 * behind the delimiter.  -1 (nothing allocated, *token_out untouched,
 * *rest_out NULL): a zero, CR or LF came first (unless it is the delimiter),
 * or the field is empty.  Kept for compatibility: a token is returned only
 * when a delimiter follows it, so the last field of "a,b,c" is not returned;
 * a delimiter of 0 never matches.  Walk a line by calling again with the
 * continuation until -1. */
VESK_API int vesk_str_token(char **token_out, const char *src, int delim, const char **rest_out);
/* Appends `text` at `end`, the terminating zero inside a block of `cap` bytes
 * that starts at `buf` (from vesk_mem_alloc or malloc), and returns the new
 * terminating zero.  When used + len > cap (used = end - buf, len = the
 * length of `text`) the block is first grown with vesk_mem_realloc to exactly
 * cap + len + 10 bytes, and the old `buf` is no longer valid: the new block
 * starts at result - used - len, and its capacity is cap + len + 10 (callers
 * rely on this growth rule).  Keep one byte spare: when used + len == cap the
 * zero is written at buf[cap].  If growing fails the process writes one line
 * to standard error and exits with status 1, as vesk_mem_alloc does. */
VESK_API char *vesk_str_append(char *buf, int cap, char *end, const char *text);
/* Unquotes: a new copy of `text`, and when `text` starts with a double quote,
 * a copy without that quote and without the last byte -- kept for
 * compatibility, the last byte goes whether or not it is a quote ("\"abc"
 * gives "ab").  A lone quote gives the empty text.  NULL for NULL. */
VESK_API char *vesk_str_unquote(const char *text);

/* Returns a large positive number that differs from call to call, also
 * within one second: counter + 5 + 4 * floor(r * 20000000 / 32768), where
 * the counter is raised by one per call (the process's first call sees 1) and
 * r (0..32767) is a draw of the standard generator, reseeded from the
 * whole-second clock on every call.  So two calls in the same second return
 * values exactly 1 apart; result - counter is always 1 modulo 4 and lies in
 * 5..79997561.  Not for secrets.  The counter is atomic; any thread. */
VESK_API int vesk_rand_next(void);
/* Seeds the standard generator (srand) from the clock and discards three
 * draws.  The padded envelope draws its filler from the same generator. */
VESK_API void vesk_rand_init(void);

/* ======================================================================
 * Settings file
 * ====================================================================== */

/* A small key/value text file kept in the executable's directory, read into
 * a table that the caller owns.  The library keeps no state between calls;
 * the caller keeps a table from being loaded and read at the same time.
 *
 * File format: each line holds a key and a value.  Tokens are maximal runs
 * of bytes other than the five separators blank, '=', CR, TAB and LF; the
 * first token of a line is the key, the second the value, further ones are
 * ignored ("timeout = 30", "timeout=30", "timeout 30 seconds" and "a==b"
 * style lines all work).  No comments, quoting or sections: "# note" is the
 * key "#" with the value "note".  Every line, an empty one included, must
 * hold a key and a value; the last line needs no line end.  Kept for
 * compatibility: a line is read at most 99 bytes at a time (its line end
 * included), so a longer line is handled as several lines.  Entries keep
 * file order; of two equal keys, lookups find the first. */

#define VESK_SETTINGS_MAX_ENTRIES 50
#define VESK_SETTINGS_TEXT_SIZE 20 /* bytes of a key or value field */
#define VESK_SETTINGS_TEXT_MAX 19  /* characters of a key or value */
#define VESK_SETTINGS_PATH_MAX 99  /* characters of directory + file name */
#define VESK_MODULE_DIR_SIZE 200   /* bytes of vesk_module_dir's buffer */

/* Results of the settings functions. */
#define VESK_CONFIG_OK 0
#define VESK_CONFIG_NOT_FOUND (-1)    /* no entry has this key */
#define VESK_CONFIG_BAD_ARGUMENT (-2) /* a NULL pointer or an empty name */
#define VESK_CONFIG_UNREADABLE (-3)   /* the file or one of its lines */

typedef struct SettingsEntry {
    char key[VESK_SETTINGS_TEXT_SIZE];   /* NUL-terminated, zero-filled after */
    char value[VESK_SETTINGS_TEXT_SIZE]; /* NUL-terminated, zero-filled after */
} SettingsEntry;                         /* 40 bytes */
typedef struct SettingsTable {
    int32_t count; /* entries in use, 0 to 50; only these are valid */
    SettingsEntry entries[VESK_SETTINGS_MAX_ENTRIES];
} SettingsTable; /* 2004 bytes */

/* Writes the directory of the process's executable, with its trailing
 * separator, into `buffer` (at least VESK_MODULE_DIR_SIZE bytes): 0.  When
 * the path has no separator, or its last one stands at position 0 or 1, the
 * directory is "/" ("C:\" on Windows).  -1, with the empty string, when the
 * executable's path cannot be obtained or does not fit in 200 bytes (or for
 * a NULL buffer, which is not written). */
VESK_API int vesk_module_dir(char *buffer);
/* Reads the file `name`, relative to the executable's directory (the current
 * directory when that cannot be obtained), into `table`.  0 when every line
 * gave an entry.  -2: NULL or empty name, NULL table (nothing touched).  -3:
 * the file cannot be opened, is not a regular file (a directory, a FIFO, a
 * device: refused at once, never waited on), or the path would exceed 99
 * characters (the table keeps its old contents); or a line without a key and
 * a value, with a key or value longer than 19 characters, or beyond 50
 * entries, or a read error -- the table then holds the entries of the whole
 * lines read before that point, with a valid count.  On every other path the
 * whole table is zeroed before the file is read. */
VESK_API int vesk_config_load(const char *name, SettingsTable *table);
/* Copies the value of the first entry whose key equals `key` byte for byte
 * (letter case matters), with its terminator, into `buffer` (at least
 * VESK_SETTINGS_TEXT_SIZE bytes): 0.  -1 when no entry has that key (buffer
 * untouched); -2 when an argument is NULL. */
VESK_API int vesk_config_get(const SettingsTable *table, const char *key, char *buffer);

/* ======================================================================
 * Timer service
 * ====================================================================== */

/* A process-wide table of up to ten periodic timers, run by one background
 * thread that wakes every 500 ms.  Calling order: vesk_timer_init first; add
 * and remove at any time after it, before or after the start; start once;
 * stop once.  A new start after a stop needs a new init (which also empties
 * the table): a start after a stop without one runs nothing.
 *
 * Scheduling: each pass reads the wall clock once, in whole seconds, and
 * runs, slot 0 to 9 in order, every timer for which (now - last run) >=
 * interval in unsigned 32-bit arithmetic; its last run becomes now.  So a
 * timer's first run comes once the clock's whole seconds have advanced by
 * `interval` since the add (never at once for interval >= 1: for interval 2
 * between a little over 1 s and about 2.5 s after the add), later runs fall
 * on clock seconds `interval` apart, and interval 0 runs at every pass.  If
 * the clock steps back, every timer runs at the next pass.
 *
 * Threads: callbacks run on the timer thread, one at a time.  The table is
 * locked for a whole pass, so callers' adds and removes never meet a
 * half-done pass; a remove from another thread waits until a running
 * callback has returned.  A callback may itself add and remove timers (its
 * own included) and the pass goes on over the table as changed: a timer added
 * in a higher slot is examined in the same pass.  A callback must not call
 * vesk_timer_stop.  An exception escaping a callback ends the process with
 * one line on standard error and exit status 1; a callback still running
 * about one second after vesk_timer_stop is terminated by force. */

#define VESK_TIMER_SLOTS 10
#define VESK_TIMER_NO_SLOT 0xFFFF /* vesk_timer_add: all slots in use */
#define VESK_TIMER_TICK_MS 500    /* sleep between passes */
/* Results of vesk_timer_remove (vesk_timer_add answers a slot index or
 * VESK_TIMER_NO_SLOT). */
#define VESK_TIMER_OK 0
#define VESK_TIMER_NOT_IN_USE (-1) /* the index names no slot that holds a timer */

/* Called with the slot index that vesk_timer_add returned, the TimerSpec's
 * context and param, and the address of the slot's own copy of the 40 data
 * bytes, which keeps what the callback writes there from one run to the
 * next.  The result is ignored. */
typedef int (*TimerCallback)(int32_t index, void *context, void *param, uint8_t *data);
typedef struct TimerSpec {
    void *context;          /* handed to the callback */
    uint32_t interval;      /* seconds between runs; 0 runs at every pass */
    uint32_t extra;         /* stored with the timer, never interpreted */
    TimerCallback callback; /* may be NULL: the timer is marked run, nothing called */
    void *param;            /* handed to the callback */
    uint8_t data[40];       /* copied into the slot; the callback gets the copy */
} TimerSpec;                /* 60 bytes on i686; 72 on x86_64 */

/* Empties the table and forgets the thread (without stopping one that still
 * runs: call it before the start or after the stop).  Always 0. */
VESK_API int vesk_timer_init(void);
/* Starts the timer thread.  0, also when a started thread has not been
 * stopped yet (a second start does nothing).  -1 when the thread cannot be
 * created: no timer runs, and a later start tries again. */
VESK_API int vesk_timer_start(void);
/* Asks the thread to stop and waits for it: it ends within about 500 ms plus
 * the current pass, and is terminated by force after 1000 ms.  The timers
 * stay in their slots.  0, also without a start.  Never from a callback. */
VESK_API int vesk_timer_stop(void);
/* Puts a copy of `spec` into the lowest free slot: its index, 0 to 9;
 * VESK_TIMER_NO_SLOT (0xFFFF) when all ten are in use (nothing changes). */
VESK_API int vesk_timer_add(TimerSpec spec);
/* Frees slot `index`, zeroing it (its data included): 0; -1 when the index
 * names no slot that holds a timer (outside 0..9 included). */
VESK_API int vesk_timer_remove(int index);
/* Removes every timer.  Always 0. */
VESK_API int vesk_timer_remove_all(void);

/* ======================================================================
 * Socket engine
 * ====================================================================== */

/* One I/O thread runs many TCP and UDP endpoints, called slots, and hands what
 * happens on them to users through channels.  Slots and channels are entries
 * of two fixed tables sized by vesk_net_init and numbered from 1; 0 means
 * none (and, where a number is returned, failure).  Slots 1 to the reserved
 * count hold only VESK_NET_UDP_MULTI slots, each with a peer table; every other
 * type lives above them.  A slot does nothing until it is attached to a
 * channel.  The I/O thread posts event records (below) into the channel's
 * ring; users poll vesk_net_channel_read, which returns one whole record per
 * call.  Users send on their own thread with vesk_net_send; what a TCP socket
 * does not take at once is kept in the slot's 131072-byte send area and
 * flushed by the I/O thread.
 *
 * Wire frame (framed TCP types 3 and 8, back to back in the stream; UDP types
 * 4, 5 and 6, exactly one per datagram):
 *   0xFE (VESK_FRAME_MARK), a signed 16-bit little-endian length, then that
 *   many payload bytes (1 to VESK_NET_MAX_DATA) when the length is positive.
 *   A length of 0 or below is a 3-byte control frame with no payload.
 * UDP control frames: probe FE 00 80 (any UDP slot answers with a 9-byte probe
 * reply: FE 01 80, then the prober's IPv4 address and port as the answering
 * side saw them, network order); keepalive FE 00 00; indexed keepalive FE and
 * -k (a VESK_NET_UDP_MULTI slot's answer to the peer in its entry k).
 * Addresses and ports are always kept in network byte order, exactly as they
 * stand in a struct sockaddr_in; every other integer of the records below is
 * in host order.
 *
 * Deliberate choices where a plainer engine would lose or corrupt data:
 *   - events are stored whole or not at all: a reader never meets half of one;
 *   - TCP data already received is never dropped: a TCP slot (or a listener,
 *     or a connecting slot) whose channel cannot take one more event is not
 *     read until it can, and frames already received stay held, in order, and
 *     are posted first; the peer is slowed by TCP's own flow control;
 *   - a framed TCP frame announcing more than VESK_NET_MAX_DATA bytes fails
 *     the connection (VESK_EV_FAILED) instead of overflowing the record;
 *   - vesk_net_send refuses payload lengths that would read outside the
 *     caller's buffer (see there);
 *   - a vesk_net_close that races the I/O thread still frees the slot, and a
 *     raw stream whose peer closed is always reported;
 *   - vesk_net_shutdown closes every socket that a slot still holds;
 *   - bytes a send accepted are delivered: a slot whose peer has ended is
 *     still flushed, and the socket of a slot closed with bytes pending is
 *     set aside and flushed (for at most 10 s) before it is closed, while
 *     the slot itself is freed at once;
 *   - keepalive answers go out at most once a second per peer (two engines
 *     whose slots register each other would otherwise answer each other's
 *     answers for ever); a listener that cannot accept (no free slot, or
 *     out of descriptors) rests for up to 100 ms instead of spinning;
 *   - a UDP slot whose channel cannot take one more largest event is not read
 *     until it can (and takes no more datagrams at a time than surely fit),
 *     so that a burst waits in the system's receive buffer, whose own
 *     counters see what overflows it, rather than being read and dropped;
 *     while it waits, its probes and keepalives wait too;
 *   - a datagram from source port 0 (no reply can reach it) is dropped and
 *     counted, never posted or answered. */

/* Slot states. */
#define VESK_NET_FREE 0       /* not in use */
#define VESK_NET_CONNECTING 1 /* outgoing connect in progress */
#define VESK_NET_OPENED 2     /* a type 3 slot not (yet) connected */
#define VESK_NET_READY 3      /* in service: read, and may send */
#define VESK_NET_FAILED 4     /* peer closed, receive or connect failed: close it */
#define VESK_NET_CLOSING 5    /* close requested; free from the next I/O pass */

/* Slot types. */
#define VESK_NET_TCP_LISTEN_STREAM 1 /* listener; accepted slots are type 7 */
#define VESK_NET_TCP_LISTEN_FRAMED 2 /* listener; accepted slots are type 8 */
#define VESK_NET_TCP_CONNECT 3       /* outgoing, framed */
#define VESK_NET_UDP_ANSWER 4        /* UDP, one peer; answers its keepalives */
#define VESK_NET_UDP_MULTI 5         /* UDP, peer table; reserved slots only */
#define VESK_NET_UDP_QUIET 6         /* UDP, one peer; answers probes, never keepalives */
#define VESK_NET_TCP_STREAM 7        /* accepted, raw byte stream (not openable) */
#define VESK_NET_TCP_FRAMED 8        /* accepted, framed (not openable) */

/* Event kinds: the first byte of every event record. */
#define VESK_EV_TCP_DATA 1    /* vesk_net_msg: a frame, or raw stream bytes */
#define VESK_EV_UDP_DATA 2    /* vesk_net_msg: a data datagram */
#define VESK_EV_CONNECT 3     /* vesk_ev_connect */
#define VESK_EV_ACCEPT 4      /* vesk_ev_accept, on the listener's channel */
#define VESK_EV_PROBE_REPLY 5 /* vesk_ev_probe_reply */
#define VESK_EV_CLOSED 9      /* vesk_ev_closed: the peer ended the connection */
#define VESK_EV_FAILED 10 /* vesk_ev_closed: receive, send or watching failed / frame too long */

/* Result codes of the engine calls (each call below says which it gives).
 * Slot and channel numbers and record lengths are above 0 on success. */
#define VESK_NET_OK 0
#define VESK_NET_NONE 0                 /* open, channel_open: no slot / channel (failure) */
#define VESK_NET_EMPTY 0                /* channel_read: the channel holds no event */
#define VESK_NET_IN_PROGRESS 0          /* connect: under way; a VESK_EV_CONNECT follows */
#define VESK_NET_CONNECTED 1            /* connect: connected at once; no event follows */
#define VESK_NET_BAD_ARGUMENT (-1)      /* number out of range, NULL pointer, wrong type or state */
#define VESK_NET_CONNECT_FAILED (-1)    /* connect, and a VESK_EV_CONNECT record's result */
#define VESK_NET_RING_CORRUPT (-2)      /* channel_read: the channel's ring is corrupt */
#define VESK_NET_MALFORMED (-3)         /* channel_read: a malformed event was dropped */
#define VESK_NET_PEERS_FULL (-2)        /* add_peer: a type 5 slot's peer table is full */
#define VESK_NET_PEER_NOT_IN_TABLE (-2) /* remove_peer: not in a type 5 slot's table */
#define VESK_NET_PEER_NOT_THE_PEER (-3) /* remove_peer: not a type 4/6 slot's peer; a listener */
/* vesk_net_channel_wait; vesk_net_channel_read_many returns the channel_read
 * codes above, and vesk_net_send_many the send codes below (0: pending). */
#define VESK_NET_WAIT_EVENT 1   /* an event is there */
#define VESK_NET_WAIT_TIMEOUT 0 /* the time ran out */
#define VESK_NET_WAIT_GONE (-1) /* bad or unused channel, released or shut down meanwhile */
/* vesk_net_send.  -2 has two meanings, kept for compatibility. */
#define VESK_NET_SEND_REFUSED (-1)   /* NULL msg, listener, length out of limits; UDP: failed */
#define VESK_NET_SEND_PENDING (-2)   /* TCP: earlier bytes still pending; nothing sent, retry */
#define VESK_NET_SEND_BAD_SLOT (-2)  /* the same value: msg->slot out of range */
#define VESK_NET_SEND_NOT_READY (-3) /* the slot is not VESK_NET_READY or has no channel */
/* So a loop that sends again while it sees -2 would spin for ever on a bad
 * slot number (or after vesk_net_shutdown).  Check the slot once, and bound
 * the retries:
 *
 *   int send_with_retry(vesk_net_msg *msg) {
 *       int tries, result = VESK_NET_SEND_PENDING;
 *       if (vesk_net_get_socket(msg->slot) == VESK_INVALID_SOCKET)
 *           return VESK_NET_SEND_BAD_SLOT;       (out of range, or free)
 *       for (tries = 0; tries < 1000 && result == VESK_NET_SEND_PENDING; ++tries) {
 *           result = vesk_net_send(msg);
 *           if (result == VESK_NET_SEND_PENDING)
 *               vesk_usleep(1000);               (1 ms for the I/O thread to flush)
 *       }
 *       return result;                           (still -2 after about a second)
 *   }
 */

/* Frame length values of the control frames, and the frame marker. */
#define VESK_CTL_PROBE (-32768)
#define VESK_CTL_PROBE_REPLY (-32767)
#define VESK_CTL_KEEPALIVE 0
#define VESK_FRAME_MARK 0xFE

/* The largest payload of one event, and the largest record a channel read
 * returns (18 + VESK_NET_MAX_DATA): the size of a read buffer. */
#define VESK_NET_MAX_DATA 2048
#define VESK_NET_MAX_RECORD 2066

#if defined(__cplusplus)
#define VESK_NET_ASSERT(cond, name) static_assert(cond, #name)
/* C++ has no flexible array member: a zero-length array (a GNU extension that
 * g++, clang++ and MinGW accept) keeps sizeof and every offset equal to C's.
 * The pedantic warning about it is silenced for that one declaration only. */
#define VESK_NET_FLEXIBLE 0
#else
#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VESK_NET_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define VESK_NET_ASSERT(cond, name) typedef char vesk_net_assert_##name[(cond) ? 1 : -1]
#endif
#define VESK_NET_FLEXIBLE /* a flexible array member in C */
#endif

/* Byte-packed records.  Read and write their fields through the packed type
 * or with memcpy, never through a pointer to a misaligned int. */
#pragma pack(push, 1)

/* The message record: the caller's buffer for vesk_net_send (18 bytes plus
 * the payload), and the layout of VESK_EV_TCP_DATA and VESK_EV_UDP_DATA
 * events (record length 18 + length).
 *   kind    on send: ignored.  In an event: 1 or 2.
 *   slot    on send: the sending slot.  In an event: the receiving slot.
 *   addr    UDP send: destination IPv4 address, network order (TCP: ignored).
 *           In an event: the peer's (TCP) or the sender's (UDP) address.
 *   port    as addr, for the port, network order.
 *   length  framed TCP and UDP: its low 16 bits, taken as a signed value, are
 *           the payload length; raw stream sends: the whole 32-bit count.
 *   frame   on framed TCP and UDP sends the engine writes the 3-byte frame
 *           header here (0xFE and the 16-bit length) and sends from here, so
 *           that the frame leaves the caller's buffer without a copy.  In a
 *           UDP event: the frame header as received; in a framed TCP event:
 *           0xFE and the length as well; in a raw stream event: zeros.
 *   data    the payload. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#elif defined(__cplusplus) && defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4200)
#endif
typedef struct vesk_net_msg {
    uint8_t kind;
    int32_t slot;
    uint32_t addr;
    uint16_t port;
    int32_t length;
    uint8_t frame[3];
    uint8_t data[VESK_NET_FLEXIBLE];
} vesk_net_msg;
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(__cplusplus) && defined(_MSC_VER)
#pragma warning(pop)
#endif

/* VESK_EV_CONNECT, 9 bytes: the outcome of a connect that did not complete
 * at once: result 0 connected (slot now VESK_NET_READY), -1 failed (slot now
 * VESK_NET_FAILED). */
typedef struct vesk_ev_connect {
    uint8_t kind;
    int32_t slot;
    int32_t result;
} vesk_ev_connect;

/* VESK_EV_ACCEPT, 15 bytes, posted to the listener's channel: `slot` is the
 * new slot (type 7 or 8, already VESK_NET_READY and attached to the
 * listener's channel); addr and port are the peer's, network order. */
typedef struct vesk_ev_accept {
    uint8_t kind;
    int32_t listener;
    int32_t slot;
    uint32_t addr;
    uint16_t port;
} vesk_ev_accept;

/* VESK_EV_PROBE_REPLY, 14 bytes: the 9-byte probe reply as received (mark
 * 0xFE, value VESK_CTL_PROBE_REPLY little-endian, then the address and port
 * under which the answering engine saw this slot, network order).  The record
 * does not name the engine that answered. */
typedef struct vesk_ev_probe_reply {
    uint8_t kind;
    int32_t slot;
    uint8_t mark;
    int16_t value;
    uint32_t addr;
    uint16_t port;
} vesk_ev_probe_reply;

/* VESK_EV_CLOSED and VESK_EV_FAILED, 15 bytes: zero is 0; the six unused
 * bytes carry nothing (the engine writes zeros).  The slot is now
 * VESK_NET_FAILED and keeps its socket until its owner closes it. */
typedef struct vesk_ev_closed {
    uint8_t kind;
    int32_t slot;
    int32_t zero;
    uint8_t unused[6];
} vesk_ev_closed;

#pragma pack(pop)

VESK_NET_ASSERT(offsetof(vesk_net_msg, kind) == 0, msg_kind);
VESK_NET_ASSERT(offsetof(vesk_net_msg, slot) == 1, msg_slot);
VESK_NET_ASSERT(offsetof(vesk_net_msg, addr) == 5, msg_addr);
VESK_NET_ASSERT(offsetof(vesk_net_msg, port) == 9, msg_port);
VESK_NET_ASSERT(offsetof(vesk_net_msg, length) == 11, msg_length);
VESK_NET_ASSERT(offsetof(vesk_net_msg, frame) == 15, msg_frame);
VESK_NET_ASSERT(offsetof(vesk_net_msg, data) == 18, msg_data);
VESK_NET_ASSERT(sizeof(vesk_net_msg) == 18, msg_size);
VESK_NET_ASSERT(offsetof(vesk_ev_connect, slot) == 1, connect_slot);
VESK_NET_ASSERT(offsetof(vesk_ev_connect, result) == 5, connect_result);
VESK_NET_ASSERT(sizeof(vesk_ev_connect) == 9, connect_size);
VESK_NET_ASSERT(offsetof(vesk_ev_accept, listener) == 1, accept_listener);
VESK_NET_ASSERT(offsetof(vesk_ev_accept, slot) == 5, accept_slot);
VESK_NET_ASSERT(offsetof(vesk_ev_accept, addr) == 9, accept_addr);
VESK_NET_ASSERT(offsetof(vesk_ev_accept, port) == 13, accept_port);
VESK_NET_ASSERT(sizeof(vesk_ev_accept) == 15, accept_size);
VESK_NET_ASSERT(offsetof(vesk_ev_probe_reply, slot) == 1, probe_reply_slot);
VESK_NET_ASSERT(offsetof(vesk_ev_probe_reply, mark) == 5, probe_reply_mark);
VESK_NET_ASSERT(offsetof(vesk_ev_probe_reply, value) == 6, probe_reply_value);
VESK_NET_ASSERT(offsetof(vesk_ev_probe_reply, addr) == 8, probe_reply_addr);
VESK_NET_ASSERT(offsetof(vesk_ev_probe_reply, port) == 12, probe_reply_port);
VESK_NET_ASSERT(sizeof(vesk_ev_probe_reply) == 14, probe_reply_size);
VESK_NET_ASSERT(offsetof(vesk_ev_closed, slot) == 1, closed_slot);
VESK_NET_ASSERT(offsetof(vesk_ev_closed, zero) == 5, closed_zero);
VESK_NET_ASSERT(offsetof(vesk_ev_closed, unused) == 9, closed_unused);
VESK_NET_ASSERT(sizeof(vesk_ev_closed) == 15, closed_size);

/* Sets the engine up: allocates `slots` slots (the first `reserved` of them
 * with a peer table of `peers` entries, the others with one entry: the
 * tables only) and `channels` channels with rings of `ring_size` bytes, and
 * starts the I/O thread.  A slot's areas come with use: a framed connection
 * gets a 16 KiB receive area at its first read (one that cannot get it fails
 * with VESK_EV_FAILED), grown to 256 KiB while the connection is busy and
 * given back when the slot is freed; a TCP
 * slot gets its 131072-byte send area when a send first leaves bytes unsent,
 * and keeps it.  spare1 and spare2 have no effect.  0 on success; -1 when the
 * arguments cannot work (slots < 1, channels < 1, reserved < 0 or > slots,
 * peers < 1, ring_size < 2070, the room for one largest event), the tables
 * cannot be allocated, or the socket layer or the thread cannot start; a
 * failed set-up leaves nothing behind.
 * Set-up nests: while the engine is set up, another call only counts (its
 * arguments are ignored) and returns 0.  Call it from one thread while no
 * other engine call runs. */
VESK_API int vesk_net_init(int slots, int channels, int reserved, int peers, int ring_size,
                           int spare1, int spare2);
/* Undoes one vesk_net_init; the last one stops the I/O thread (waiting up to
 * a second), closes every socket that a slot still holds, and frees all
 * tables.  With the engine not set up: nothing.  Slot and channel numbers are
 * meaningless afterwards. */
VESK_API void vesk_net_shutdown(void);

/* Claims the lowest free channel and empties its ring: its number, or 0 when
 * every channel is in use. */
VESK_API int vesk_net_channel_open(void);
/* Releases a channel (its unread events are dropped): 0; -1 when the number
 * is out of range or the channel is not in use.  Release a channel only when
 * no slot is attached to it any more and no thread reads it. */
VESK_API int vesk_net_channel_close(int channel);

/* Opens a slot of `type` (1 to 6) on a new non-blocking IPv4 socket:
 *   1, 2  TCP listener: SO_REUSEADDR, bound to `addr` (a 16-byte struct
 *         sockaddr_in), listening with the system's largest backlog
 *         (SOMAXCONN), so that a burst of clients connecting at once gets in;
 *         VESK_NET_READY.
 *   3     TCP for an outgoing connection; `addr` ignored; VESK_NET_OPENED.
 *   Every TCP connection slot (3, and the 7 and 8 a listener accepts) has
 *   TCP_NODELAY set: a frame goes out at once, never held back waiting for
 *   the acknowledgement of the one before (set the option on
 *   vesk_net_get_socket(slot) to change that).
 *   4,5,6 UDP: SO_REUSEADDR, bound to `addr`; VESK_NET_READY.  Type 5 takes a
 *         reserved slot, every other type an ordinary one.
 * Returns the slot's number (the lowest free one of its range), or 0 on any
 * failure (types 7, 8 and others, socket, bind or listen failing, no free
 * slot), leaving no socket open; vesk_net_last_error then tells the system's
 * reason (0 for a bad type or a full slot table).  The slot has no channel yet. */
VESK_API int vesk_net_open(int type, const struct sockaddr *addr);
/* Sends the slot's events to `channel` from the I/O thread's next pass on;
 * attaching again moves them to the new channel.  0; -1 when either number is
 * out of range, the slot is free or the channel not in use. */
VESK_API int vesk_net_attach(int slot, int channel);
/* The slot's socket; -1 for a free slot or a number out of range.  A closed
 * slot keeps reporting its old socket until the I/O thread has freed it: once
 * -1 comes back, the slot is free and its number can be opened again. */
VESK_API vesk_socket_t vesk_net_get_socket(int slot);
/* Starts connecting a VESK_NET_OPENED slot (type 3) that has a channel to
 * `addr` (16-byte struct sockaddr_in).  1 connected at once (VESK_NET_READY,
 * no event follows); 0 in progress (VESK_NET_CONNECTING; one VESK_EV_CONNECT
 * event reports the outcome); -1 for a slot out of range, a NULL address, a
 * slot not VESK_NET_OPENED or without a channel, or a connect that failed at
 * once (the slot stays VESK_NET_OPENED: connect may be tried again). */
VESK_API int vesk_net_connect(int slot, const struct sockaddr *addr);
/* Requests the slot's end: VESK_NET_CLOSING now; the I/O thread closes its
 * socket and frees the slot at the start of its next pass, and posts nothing
 * more for it.  Works in every state but free, and is never lost, even when
 * the I/O thread is marking the slot failed at the same time.  0; -1 for a
 * number out of range or a free slot.  Closing a listener leaves the
 * connections it accepted open. */
VESK_API int vesk_net_close(int slot);

/* Takes the oldest event of a channel into `buffer` (VESK_NET_MAX_RECORD
 * bytes): the record's length (> 0); 0 when the channel is empty (the call
 * never waits: on Linux an empty channel's reader first receives what the
 * engine's sockets have itself, as vesk_net_channel_wait's look does, so that
 * a thread that polls in a loop takes its frames without a hand-over; the
 * caller's vesk_net_last_error and errno stay as they were);
 * -1 for a channel out of range or not in use or a NULL buffer;
 * -2 when the ring is corrupt; -3 for a malformed event (a header without
 * 0xFE or announcing a record of 0 or more than VESK_NET_MAX_RECORD bytes
 * costs the header; a record cut short empties the channel).  Any thread may
 * read; several readers of one channel each get whole events. */
VESK_API int vesk_net_channel_read(int channel, void *buffer);
/* Sends a message on msg->slot, which must be VESK_NET_READY and attached:
 *   framed TCP (3, 8): writes the frame header into msg->frame and sends
 *     frame and payload; what the socket does not take at once is kept and
 *     flushed by the I/O thread.  0 sent or kept; -2 when earlier bytes are
 *     still pending, another thread is sending on the slot at that moment,
 *     or the socket took nothing and there is no memory to keep the bytes
 *     (nothing is sent or kept, though the header is written: send again
 *     later).  Other send errors are not reported here (0): the slot becomes
 *     VESK_NET_FAILED and a VESK_EV_FAILED event reports it -- as it does when
 *     the socket took a part and there is no memory to keep the rest (the
 *     stream cannot go on without it).
 *   raw stream (7): sends msg->length bytes of msg->data unframed; results as
 *     framed TCP.
 *   UDP (4, 5, 6): writes the frame header and sends frame and payload to
 *     msg->addr / msg->port: the byte count sent (payload + 3), or -1.  A
 *     length of 0 sends a keepalive.
 * On every type: -1 for a NULL msg, a listener, a framed or UDP length below
 * 0 or above VESK_NET_MAX_DATA, or a raw stream count below 0 or above 131072
 * (refused before anything is written); -2 slot number out of range; -3 slot
 * not VESK_NET_READY or without a channel.  Several threads may send on one
 * TCP slot: each send goes out whole, never mixed with another's bytes. */
VESK_API int vesk_net_send(vesk_net_msg *msg);
/* Sends a probe (FE 00 80) from a ready, attached UDP slot to `dest`; the
 * answer arrives as a VESK_EV_PROBE_REPLY event.  0 (send errors are not
 * reported); -1 for a slot out of range, a NULL destination, or a slot that
 * is not a ready, attached UDP slot. */
VESK_API int vesk_net_probe(int slot, const struct sockaddr *dest);

/* Registers a UDP peer (address and port of a struct sockaddr_in), which
 * decides whose keepalives the I/O thread answers.  TCP connections (3, 7, 8):
 * 0 at once, nothing stored, whatever the state.  Otherwise the slot must be
 * ready and attached (else -1).  Type 5: 0 when stored in the lowest free
 * entry or already present; -2 when the table is full.  Types 4 and 6: 0,
 * and a slot that already has a peer keeps it (remove it first to replace
 * it).  -1 for a slot out of range, a NULL peer, or a listener. */
VESK_API int vesk_net_add_peer(int slot, const struct sockaddr *peer);
/* Removes a registered UDP peer from a ready slot (its channel is not
 * looked at): 0 removed; -2 not in a type 5 slot's table; -3 not the peer of
 * a type 4 or 6 slot, or the slot is a listener.  TCP connections: 0, nothing
 * changes.  -1 for a slot out of range or not ready, or a NULL peer on a UDP
 * slot. */
VESK_API int vesk_net_remove_peer(int slot, const struct sockaddr *peer);

/* Waiting and batches: what a busy server uses instead of polling one event
 * and sending one message at a time (see docs/net.md for the whole loop).
 *
 * Waits until `channel` holds an event or `timeout_ms` milliseconds pass (-1:
 * no limit; 0: just look), without using the processor meanwhile (a short
 * look, then sleep).  While it looks, on Linux, the waiting thread receives
 * what the engine's sockets have itself, as the I/O thread would (so that
 * an event needs no hand-over between threads); events of every channel
 * keep their order, and the caller's vesk_net_last_error is left as it
 * was.  1: an event is there; 0: timed out; -1: channel out
 * of range or not in use, or the channel was released or the engine shut
 * down while waiting (waiters are woken, never left blocked).  Never takes
 * the event: read it with vesk_net_channel_read or vesk_net_channel_read_many. */
VESK_API int vesk_net_channel_wait(int channel, int timeout_ms);
/* Takes as many whole events as fit, under one lock: while at least
 * 2 + VESK_NET_MAX_RECORD bytes of `buffer` remain, the next event is stored
 * as its record length (2 bytes, host order) followed by the record.  Returns
 * the bytes used (> 0); 0 when the channel is empty (after the same look at
 * the sockets as vesk_net_channel_read); -1 for a channel out of
 * range or not in use, a NULL buffer or a capacity below
 * 2 + VESK_NET_MAX_RECORD; -2 ring failure; -3 malformed event (as
 * vesk_net_channel_read; the events taken before it are returned first, and
 * the -3 comes on the next call). */
VESK_API int vesk_net_channel_read_many(int channel, void *buffer, int capacity);
/* Sends `count` messages on one framed TCP slot (types 3 and 8; every
 * msgs[i]->slot names the same slot) with as few system calls as possible,
 * in order.  Each message is checked and framed as vesk_net_send does it (the
 * header is written into its frame field).  Returns how many were taken: sent,
 * or with the unsent rest kept for the I/O thread -- at most 131072 bytes of
 * frames (the send area) and 1024 messages per call, so a larger batch is
 * taken in part: send the rest next.  0 when earlier bytes are still pending,
 * or as vesk_net_send gives -2 for its other reasons (nothing taken: send
 * again later); a batch of which the socket took a part and whose rest there
 * is no memory to keep fails the slot as there (the count is returned).
 * When the first message is refused, the code vesk_net_send gives (-1 NULL,
 * bad length, count below 1 or not a framed TCP slot; -2 slot out of range;
 * -3 not ready or without a channel); a later message that is refused, NULL
 * or names another slot ends the batch before it.  Several threads may send
 * on one slot, as with vesk_net_send. */
VESK_API int vesk_net_send_many(vesk_net_msg *const *msgs, int count);

/* Server helpers: being told when a send backlog has drained, and why a call
 * failed.
 *
 * Asks for one VESK_EV_SENT event on the slot's channel once every byte
 * accepted so far for this TCP connection slot (types 3, 7, 8) has been
 * handed to the system: at once (from the I/O thread's next pass) when
 * nothing is pending.  One event per call; a channel whose slots never ask
 * never sees one.  The answer to VESK_NET_SEND_PENDING: ask, wait for the
 * event, send again.  A slot that fails or is closed first gets no
 * VESK_EV_SENT (its VESK_EV_CLOSED or VESK_EV_FAILED tells instead).
 * 0 asked; -1 for a slot out of range, not VESK_NET_READY, without a channel
 * or not a TCP connection.  Any thread may call. */
VESK_API int vesk_net_notify_sent(int slot);
#define VESK_EV_SENT 11 /* vesk_ev_sent: what was pending on the slot is out */
#pragma pack(push, 1)
/* VESK_EV_SENT, 5 bytes. */
typedef struct vesk_ev_sent {
    uint8_t kind;
    int32_t slot;
} vesk_ev_sent;
#pragma pack(pop)
VESK_NET_ASSERT(sizeof(vesk_ev_sent) == 5, sent_size);
/* The system's error number (errno on POSIX; a WSA... or Windows error number
 * on Windows) behind the calling thread's last failed vesk_net_open,
 * vesk_net_attach, vesk_net_connect, vesk_net_send or vesk_net_send_many, or
 * behind the failed connect whose VESK_EV_CONNECT it read last (with
 * vesk_net_channel_read or vesk_net_channel_read_many, before the slot was
 * closed):
 * e.g. VESK_NET_ERR_ADDRESS_IN_USE after an open whose bind failed, or
 * VESK_NET_ERR_CONNECTION_RESET after a send that found the connection
 * broken (that send still returns 0).  0 when the thread had no such failure
 * or its last one was a refusal no system call caused (a bad argument, a slot
 * not ready, bytes still pending, a full slot table).  Per thread, and never
 * reset by a call that succeeds. */
VESK_API int vesk_net_last_error(void);
/* Named values of vesk_net_last_error. */
#if defined(_WIN32)
#define VESK_NET_ERR_ADDRESS_IN_USE 10048      /* WSAEADDRINUSE */
#define VESK_NET_ERR_ADDRESS_NOT_AVAIL 10049   /* WSAEADDRNOTAVAIL */
#define VESK_NET_ERR_CONNECTION_REFUSED 10061  /* WSAECONNREFUSED */
#define VESK_NET_ERR_TIMED_OUT 10060           /* WSAETIMEDOUT */
#define VESK_NET_ERR_CONNECTION_RESET 10054    /* WSAECONNRESET */
#define VESK_NET_ERR_ACCESS 10013              /* WSAEACCES */
#define VESK_NET_ERR_TOO_MANY_FILES 10024      /* WSAEMFILE */
#define VESK_NET_ERR_NETWORK_UNREACHABLE 10051 /* WSAENETUNREACH */
#define VESK_NET_ERR_BROKEN_PIPE 10053         /* WSAECONNABORTED: the connection is gone */
#define VESK_NET_ERR_PROTOCOL 10041            /* WSAEPROTOTYPE: the peer broke the framing */
#else                                          /* Linux */
#define VESK_NET_ERR_ADDRESS_IN_USE 98         /* EADDRINUSE */
#define VESK_NET_ERR_ADDRESS_NOT_AVAIL 99      /* EADDRNOTAVAIL */
#define VESK_NET_ERR_CONNECTION_REFUSED 111    /* ECONNREFUSED */
#define VESK_NET_ERR_TIMED_OUT 110             /* ETIMEDOUT */
#define VESK_NET_ERR_CONNECTION_RESET 104      /* ECONNRESET */
#define VESK_NET_ERR_ACCESS 13                 /* EACCES */
#define VESK_NET_ERR_TOO_MANY_FILES 24         /* EMFILE */
#define VESK_NET_ERR_NETWORK_UNREACHABLE 101   /* ENETUNREACH */
#define VESK_NET_ERR_BROKEN_PIPE 32            /* EPIPE */
#define VESK_NET_ERR_PROTOCOL 71               /* EPROTO: the peer broke the framing */
#endif

/* ---- Engine extensions for hostile networks -------------------------------
 * Opt-in: without them the engine behaves as described above. */

/* Closes a TCP connection slot (VESK_NET_TCP_CONNECT, VESK_NET_TCP_FRAMED,
 * VESK_NET_TCP_STREAM) with VESK_EV_CLOSED when nothing has been received
 * from its peer for `idle_ms` milliseconds (between 1.0 and 1.1 times that,
 * plus 100 ms); the thread that reads that event gets VESK_NET_ERR_TIMED_OUT
 * from vesk_net_last_error.  The slot is then failed, as after a peer's end,
 * and the caller closes it.  On a TCP listener, every slot it accepts from
 * then on inherits the timeout.  0 turns it off (the default).  Deadlines
 * cost the I/O thread nothing until one is due.  0 set; -1 not a TCP slot, a
 * free slot, or idle_ms below 0. */
VESK_API int vesk_net_set_idle_timeout(int slot, int idle_ms);

/* At most `count` connections from one peer address at a time on this TCP
 * listener; one more is accepted and closed at once, with no event, and
 * counted (vesk_net_stats.address_refused).  0: no limit (the default).  0
 * set; -1 not a TCP listener, a free slot, or count below 0. */
VESK_API int vesk_net_set_address_limit(int listener, int count);

/* Strict framing on a framed TCP slot (VESK_NET_TCP_CONNECT,
 * VESK_NET_TCP_FRAMED), or on a framed listener (VESK_NET_TCP_LISTEN_FRAMED),
 * whose accepted slots inherit it from then on: where a frame must start and
 * the byte is not 0xFE, the slot fails (VESK_NET_FAILED, VESK_EV_FAILED; the
 * thread that reads that event gets VESK_NET_ERR_PROTOCOL from
 * vesk_net_last_error) instead of dropping what it holds and resynchronising.
 * Control frames (length 0 or negative) stay valid.
 * On a UDP slot (4, 5, 6): a probe reply is posted only when it comes from an
 * address and port that this slot sent one of its 16 latest probes to, in
 * the last 10 seconds; any other is dropped and counted
 * (vesk_net_stats.probe_replies_refused).
 * on: 0 off (the default), 1 on.  0 set; -1 a slot out of range, free, of
 * another type, or another value of `on`. */
VESK_API int vesk_net_set_strict_framing(int slot, int on);

/* The engine's counters, process-wide since vesk_net_init.  The caller sets
 * `size` to sizeof(vesk_net_stats); fields that end past `size` are not
 * written, so a program built against an older, smaller record stays safe. */
typedef struct vesk_net_stats {
    uint32_t size;
    uint32_t slot_count;       /* slots of the table */
    uint32_t slots_in_use;     /* slots not free now */
    uint32_t slots_peak;       /* most in use at once */
    uint64_t accepted;         /* connections accepted */
    uint64_t accepts_deferred; /* times a listener rested because no slot was free */
    uint64_t address_refused;  /* connections closed by an address limit */
    uint64_t idle_closed;      /* slots closed by an idle timeout */
    uint64_t protocol_failed;  /* slots failed by strict framing */
    uint64_t bytes_in;         /* bytes received on TCP connections and in datagrams */
    uint64_t bytes_out;        /* bytes handed to the system by sends and flushes */
    uint64_t frames_in;        /* framed TCP and UDP data frames delivered */
    uint64_t frames_out;       /* framed TCP and UDP frames accepted for sending */
    uint64_t bytes_discarded;  /* bytes dropped by the framing resync */
    uint64_t sends_busy;       /* sends refused because earlier bytes were pending */
    /* UDP */
    uint64_t datagrams_dropped;     /* malformed, from source port 0, a probe the slot's
                                       policy leaves unanswered, or (a channel released
                                       while they were read) no channel to take them */
    uint64_t probes_answered;       /* probe replies sent */
    uint64_t probe_replies_refused; /* strict: from an address this slot did not probe */
} vesk_net_stats;
/* Fills `out` (as far as out->size allows).  0 filled; -1 NULL, a size below
 * 8, or the engine not set up.  Any thread. */
VESK_API int vesk_net_get_stats(vesk_net_stats *out);

/* Which probes a UDP slot (4, 5, 6) answers: VESK_NET_PROBE_ANSWER_ALL every
 * one (the default); VESK_NET_PROBE_ANSWER_PACED at most one a second per
 * source address (a probe's source can be forged, and the reply, three times
 * its size, goes to whatever address it names); VESK_NET_PROBE_ANSWER_NONE
 * none.  A probe left unanswered is counted in datagrams_dropped.  0 set; -1
 * not a UDP slot, free, or another value. */
#define VESK_NET_PROBE_ANSWER_ALL 0
#define VESK_NET_PROBE_ANSWER_PACED 1
#define VESK_NET_PROBE_ANSWER_NONE 2
VESK_API int vesk_net_set_probe_policy(int slot, int policy);

/* Asks the system for a receive buffer of `bytes` on the slot's socket (any
 * slot type; useful on a UDP slot, whose bursts wait there while the
 * application catches up).  The size the system gives: Linux counts its own
 * bookkeeping in it (about twice the request) and caps the request at
 * net.core.rmem_max (often 208 KiB: raise it with sysctl for more).  -1 a
 * slot out of range, free or closing, bytes below 1, or the system refused
 * (vesk_net_last_error tells why). */
VESK_API int vesk_net_set_receive_buffer(int slot, int bytes);

/* ======================================================================
 * CRC-32, TEA, padded envelope, hex
 * ====================================================================== */

/* Compile-time checks of the record layouts below (C11/C++, or a negative
 * array size in C99). */
#if defined(__cplusplus)
#define VESK_CRYPTO_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VESK_CRYPTO_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define VESK_CRYPTO_ASSERT(cond, name) typedef char vesk_crypto_assert_##name[(cond) ? 1 : -1]
#endif

/* CRC-32: the reflected CRC with polynomial 0x04C11DB7 (Ethernet, ZIP, PNG).
 * Start with previous = 0; to checksum data in pieces, pass each piece with
 * the result of the previous call.  A NULL pointer or a length of 0 or below
 * returns `previous` unchanged.  "123456789" gives 0xCBF43926.  Pure; any
 * thread. */
VESK_API uint32_t vesk_crc32(uint32_t previous, const void *data, int length);

/* TEA, 32 cycles (delta 0x9E3779B9), on 32-bit words: block y = in[0],
 * z = in[1], key k0..k3 = key[0..3].  Blocks and keys held as bytes are read
 * little-endian (bytes 0-3 are the first word), the order every ticket
 * message uses.  `in` and `out` may be the same block.  No result; a NULL
 * pointer does nothing.  The zero block under the zero key encrypts to the
 * bytes 0A 3A EA 41 40 A9 BA 94. */
VESK_API void vesk_tea_encrypt_block(const uint32_t in[2], uint32_t out[2], const uint32_t key[4]);
VESK_API void vesk_tea_decrypt_block(const uint32_t in[2], uint32_t out[2], const uint32_t key[4]);

/* Buffer mode: length / 8 independent 8-byte blocks (no chaining: equal
 * blocks give equal output), words little-endian, then the last length % 8
 * bytes XORed with key bytes 0.. (the same in both directions, so a buffer
 * shorter than 8 bytes is only XORed).  Writes exactly `length` bytes to
 * `dst`; no padding, no length field.  `src` and `dst` may be the same
 * buffer.  0 done (length 0 writes nothing, whatever dst and key are); -1
 * NULL src, or NULL dst or key with a length above 0 (nothing written). */
VESK_API int vesk_tea_encrypt_buffer(const uint8_t *src, uint16_t length, uint8_t *dst,
                                     const uint8_t key[16]);
VESK_API int vesk_tea_decrypt_buffer(const uint8_t *src, uint16_t length, uint8_t *dst,
                                     const uint8_t key[16]);

/* The padded TEA envelope: n data bytes sealed under a 16-byte key into
 * VESK_ENVELOPE_SIZE(n) bytes (n + 10 rounded up to a multiple of 8; 16 for
 * n = 0..6, 24 for 7..14).  Plaintext stream: a header byte (random, low 3
 * bits = pad), pad random filler bytes (pad 0..7 makes the length a multiple
 * of 8), 2 random bytes, the data, 7 zero bytes.  Its 8-byte blocks go
 * through TEA reduced to 16 cycles on big-endian words, chained: X(i) = P(i)
 * ^ Q(i-1), Q(i) = E(X(i)) ^ X(i-1), with zero blocks before the first.
 * Equal data seal differently each time; a wrong key or damaged data shows as
 * non-zero trailing bytes (except with probability about 2^-56).  The random
 * bytes come from the process's rand() (low 8 bits of rand() % 65534), which
 * vesk_envelope_init seeds: they hide the length, they are not secret. */
#define VESK_ENVELOPE_SIZE(n) ((((n) + 10) + 7) / 8 * 8)

/* Results of vesk_envelope_decrypt. */
#define VESK_ENVELOPE_OPENED 0
#define VESK_ENVELOPE_BAD_INPUT (-1) /* length not a multiple of 8 or below 16; a NULL pointer */
#define VESK_ENVELOPE_NO_ROOM (-2)   /* data length negative or above the capacity */
#define VESK_ENVELOPE_NOT_ZERO (-3)  /* trailing bytes not zero: wrong key or damaged */

/* The key holder: a pointer to it can be passed wherever an envelope key is
 * expected.  param1 and param2 are the caller's; the library stores them and
 * never reads them. */
typedef struct vesk_envelope_key {
    uint8_t key[16];
    uint8_t param1;
    uint8_t param2;
} vesk_envelope_key;
VESK_CRYPTO_ASSERT(sizeof(vesk_envelope_key) == 18, vesk_envelope_key_is_18_bytes);
VESK_CRYPTO_ASSERT(offsetof(vesk_envelope_key, param2) == 17, vesk_envelope_key_param2_at_17);

/* Seals `length` bytes of `data` into `out`, which must hold
 * VESK_ENVELOPE_SIZE(length) bytes (not checked) and must not overlap
 * `data`; *out_length receives that size.  An empty data string still needs
 * a non-NULL `data`.  A NULL pointer, a negative length or one whose
 * envelope would not fit an int writes nothing, *out_length included. */
VESK_API void vesk_envelope_encrypt(const uint8_t key[16], const uint8_t *data, int length,
                                    uint8_t *out, int *out_length);
/* Opens `length` ciphertext bytes into `out`, whose capacity *inout_length
 * gives on entry; on success *inout_length is the data length (length - 10 -
 * pad, at most length - 10).  `out` may be the ciphertext buffer itself.
 *   VESK_ENVELOPE_OPENED (0)      opened.
 *   VESK_ENVELOPE_BAD_INPUT (-1)  nothing written.
 *   VESK_ENVELOPE_NO_ROOM (-2)    nothing written.
 *   VESK_ENVELOPE_NOT_ZERO (-3)   kept for compatibility: by then the data
 *                                 bytes are in `out` and their count in
 *                                 *inout_length; do not use them.
 * The header's upper bits, the filler and the 2 random bytes are not
 * checked. */
VESK_API int vesk_envelope_decrypt(const uint8_t key[16], const uint8_t *cipher, int length,
                                   uint8_t *out, int *inout_length);
/* Stores param1, param2 and the 16 key bytes, then seeds rand() with the
 * current time (srand(time(NULL))), so it also re-seeds the generator that
 * vesk_rand_init and vesk_rand_next use.  A NULL holder or key does
 * nothing. */
VESK_API void vesk_envelope_init(vesk_envelope_key *holder, const uint8_t key[16], uint8_t param1,
                                 uint8_t param2);
/* Copies the key only when key_length is exactly 16; anything else (or a
 * NULL pointer) does nothing. */
VESK_API void vesk_envelope_set_key(vesk_envelope_key *holder, const uint8_t *key, int key_length);
/* Stores the two bytes (a NULL holder does nothing). */
VESK_API void vesk_envelope_set_params(vesk_envelope_key *holder, uint8_t param1, uint8_t param2);

/* Hex text: two upper-case digits per byte, no separators, no prefix.
 * Encode writes 2 * length digits and a NUL (the output must hold
 * 2 * length + 1 characters): 0; -1 NULL data, length 0 or NULL out, nothing
 * written. */
VESK_API int vesk_hex_encode(const uint8_t *data, uint16_t length, char *out);
/* Decodes into size / 2 bytes, which are zeroed first; byte k comes from
 * characters 2k and 2k + 1 while both lie before the text's NUL (a shorter
 * text leaves the rest zero; an odd last character is ignored).  Never reads
 * past `size` characters or the NUL.  Kept for compatibility: each pair is
 * read as strtoul(pair, 16) reads a two-character string, so digits of
 * either case give their value, "G1" gives 0, "1G" gives 1, " 5" gives 5 and
 * "-1" gives 0xFF; nothing is reported.  0; -1 odd size or a NULL pointer,
 * nothing written. */
VESK_API int vesk_hex_decode(const char *text, uint16_t size, uint8_t *out);

/* ======================================================================
 * Ticket authentication
 * ====================================================================== */

/* A three-party ticket scheme on 32-cycle TEA.  An issuer that knows every
 * client's and service's 16-byte key answers a client's request with a
 * ticket that only the service can read and a session key that only the
 * client can read; the client then proves itself to the service with the
 * ticket and an authenticator, the service proves itself back with a reply,
 * and the client may send sealed messages.  Strictly increasing sequence
 * numbers, kept on both sides, refuse replays.  All messages are fixed-size
 * byte blocks in the callers' buffers; the library sends nothing.  Every
 * 32-bit word of every message is little-endian; E(K, x) below is the
 * 8-byte block x under vesk_tea_encrypt_block with key K, one independent
 * block at a time.
 *
 *   request (8, client to issuer, in the clear): client id, service id
 *   answer (56, issuer to client): ticket (32), E(client key, {client id,
 *       lifetime}), E(client key, session key 0-7), E(client key, 8-15)
 *   ticket (32): E(service key, ...) of session key (16), client id,
 *       service id, issue time, lifetime, as four independent blocks
 *   authenticator message (40, client to service): ticket, E(session key,
 *       {client id, seq})
 *   reply (8, service to client): E(session key, {NOT client id, seq})
 *   sealed message (16, client to service): E(session key, {client id,
 *       seq}), E(session key, {VESK_AUTH_SEAL_MARKER, 0}); it carries no data
 *
 * Calling order: client init, request; issuer issue; client accept,
 * authenticator; service accept (gives the reply); client verify; then client
 * seal and service open as often as wanted, and further authenticator /
 * accept / verify rounds while the ticket is usable.  Both sides draw from one
 * increasing sequence: after the inits the client's next/peer are 1/0 and the
 * service's peer/next 0/1; the authenticator carries 1, the reply 2, a seal
 * then 2, the next authenticator 3, its reply 4, and so on.
 *
 * Neither context owns resources: the caller allocates it, may reuse it after
 * another init, and frees it as it likes.  A context is used by one thread at
 * a time; the issuer may run on any number of threads at once (if its key
 * callback allows).  Times are seconds since 1970 from time(), held in 32
 * bits.  See docs/security.md for what this scheme does not protect against. */

#define VESK_AUTH_TICKET_LIFETIME 7200    /* seconds, fixed by the issuer */
#define VESK_AUTH_SEAL_MARKER 0x80000000u /* first word of a sealed message's second block */
#define VESK_AUTH_FLAG 0x80000000u /* set in `flags` by init when its flag argument is not 0 */

/* Message sizes in bytes. */
#define VESK_AUTH_REQUEST_SIZE 8
#define VESK_AUTH_ANSWER_SIZE 56
#define VESK_AUTH_TICKET_SIZE 32
#define VESK_AUTH_AUTHENTICATOR_SIZE 40
#define VESK_AUTH_REPLY_SIZE 8
#define VESK_AUTH_SEALED_SIZE 16

/* State words: 0x10 a client context, 0x20 a service context, 0x01 an
 * accepted answer (client) or ticket (service), 0x02 a verified reply. */
#define VESK_AUTH_CLIENT_INIT 16
#define VESK_AUTH_CLIENT_TICKET 17
#define VESK_AUTH_CLIENT_VERIFIED 19
#define VESK_AUTH_SERVER_INIT 32
#define VESK_AUTH_SERVER_ACCEPTED 33

/* Results of the ticket functions (each function says which it gives and
 * what they mean there). */
#define VESK_AUTH_OK 0
#define VESK_AUTH_BAD_ARGUMENT (-1) /* NULL pointer, wrong message length, capacity too small */
#define VESK_AUTH_BAD_STATE (-2)    /* the context is not at the step this call needs */
#define VESK_AUTH_REFUSED (-3)      /* another party or another key (server open: also a replay) */
#define VESK_AUTH_EXPIRED (-3)      /* client authenticator: the ticket's usable time is over */
#define VESK_AUTH_REPLAY (-4)       /* sequence number not above the last (server accept: */
                                    /* also another client) */

/* The client's context: one ticket. */
typedef struct vesk_auth_client_ctx { /* 80 bytes */
    uint8_t ticket[32];               /* the encrypted ticket, verbatim from the answer */
    uint32_t client_id;               /* own id, from init */
    uint32_t service_id;              /* the service wanted, from init */
    uint32_t accept_time;             /* time() when the answer was accepted */
    uint32_t usable_lifetime;         /* seconds usable after accept_time: lifetime / 5 * 4 */
    uint8_t session_key[16];          /* learnt from the answer */
    uint32_t next_seq;                /* next sequence number to send; 1 after init */
    uint32_t peer_seq;                /* highest sequence number accepted from the service */
    uint32_t flags;                   /* VESK_AUTH_FLAG or 0; read by no operation */
    uint32_t state;                   /* VESK_AUTH_CLIENT_* */
} vesk_auth_client_ctx;
VESK_CRYPTO_ASSERT(sizeof(vesk_auth_client_ctx) == 80, vesk_auth_client_ctx_is_80_bytes);
VESK_CRYPTO_ASSERT(offsetof(vesk_auth_client_ctx, session_key) == 48, client_session_key_at_48);
VESK_CRYPTO_ASSERT(offsetof(vesk_auth_client_ctx, state) == 76, client_state_at_76);

/* The service's context: one client's ticket at a time.  The first five
 * fields are the decrypted ticket, filled by a successful accept; the caller
 * may read them (client_id then names the authenticated client). */
typedef struct vesk_auth_server_ctx { /* 52 bytes */
    uint8_t session_key[16];
    uint32_t client_id;
    uint32_t service_id; /* equal to own_id after an accept */
    uint32_t issue_time; /* the issuer's time() at issue */
    uint32_t lifetime;   /* VESK_AUTH_TICKET_LIFETIME */
    uint32_t own_id;     /* this service's id, from init */
    uint32_t next_seq;   /* sequence number for the next reply; 1 after init */
    uint32_t peer_seq;   /* highest sequence number accepted from any client */
    uint32_t flags;      /* VESK_AUTH_FLAG or 0; read by no operation */
    uint32_t state;      /* VESK_AUTH_SERVER_* */
} vesk_auth_server_ctx;
VESK_CRYPTO_ASSERT(sizeof(vesk_auth_server_ctx) == 52, vesk_auth_server_ctx_is_52_bytes);
VESK_CRYPTO_ASSERT(offsetof(vesk_auth_server_ctx, own_id) == 32, server_own_id_at_32);
VESK_CRYPTO_ASSERT(offsetof(vesk_auth_server_ctx, state) == 48, server_state_at_48);

/* The issuer's key callback: fill all 48 bytes -- the named service's key,
 * the named client's key and a fresh session key for this answer -- and
 * return 0 or more; or refuse the request (an unknown client or service)
 * with a negative value, which vesk_auth_issue returns unchanged.  The areas
 * are zeroed before the call.  The library never makes key material. */
typedef int32_t (*vesk_auth_key_fn)(uint32_t client_id, uint32_t service_id,
                                    uint8_t service_key[16], uint8_t client_key[16],
                                    uint8_t session_key[16]);

/* Zeroes the 80 bytes and sets the ids, next_seq 1, VESK_AUTH_FLAG in flags
 * when flag is not 0, state VESK_AUTH_CLIENT_INIT.  0; -1 NULL context. */
VESK_API int vesk_auth_client_init(vesk_auth_client_ctx *c, int flag, uint32_t client_id,
                                   uint32_t service_id);
/* Writes the 8-byte request; *length is the capacity on entry and 8 after.
 * 0; -1 a NULL pointer or capacity below 8; -2 state not exactly
 * VESK_AUTH_CLIENT_INIT (a second request needs a fresh init).  Nothing is
 * written on failure. */
VESK_API int vesk_auth_client_request(vesk_auth_client_ctx *c, uint8_t *out, int *length);
/* The issuer: reads the request, asks `keys` once for the three keys, and
 * writes the 56-byte answer stamped with time() and a lifetime of
 * VESK_AUTH_TICKET_LIFETIME; *length is the capacity on entry and 56 after.
 * 0; -1 a NULL pointer, request length not 8 or capacity below 56 (the
 * callback is not called); the callback's own negative value.  Nothing is
 * written on failure.  Keeps no state. */
VESK_API int vesk_auth_issue(const uint8_t *request, int request_length, vesk_auth_key_fn keys,
                             uint8_t *out, int *length);
/* Accepts the issuer's answer with this client's key: keeps the ticket,
 * learns the session key, sets usable_lifetime = lifetime / 5 * 4 (5760 s for
 * 7200) counted from this client's time() now, state VESK_AUTH_CLIENT_TICKET.
 * 0; -1 a NULL pointer or answer length not 56; -2 state not exactly
 * VESK_AUTH_CLIENT_INIT (accepting twice); -3 the answer names another client
 * or was made under another client key -- kept for compatibility: the ticket
 * field already holds the refused answer's ticket; the state stays
 * VESK_AUTH_CLIENT_INIT, so another answer may be tried.  Other failures
 * change nothing.  Nothing else protects the answer: a wrong key passes the
 * id check with probability about 2^-32. */
VESK_API int vesk_auth_client_accept(vesk_auth_client_ctx *c, const uint8_t client_key[16],
                                     const uint8_t *answer, int answer_length);
/* Writes the 40-byte authenticator message with the sequence number
 * max(next_seq, peer_seq); next_seq becomes that + 1.  *length is the
 * capacity on entry and 40 after.  0; -1 a NULL pointer or capacity below 40;
 * -2 no answer accepted; -3 expired: more than usable_lifetime seconds since
 * the acceptance (exactly usable_lifetime still works), or a clock set back
 * before it.  Failures change nothing. */
VESK_API int vesk_auth_client_authenticator(vesk_auth_client_ctx *c, uint8_t *out, int *length);
/* Checks the service's 8-byte reply: 0, peer_seq = its sequence number,
 * state VESK_AUTH_CLIENT_VERIFIED; -1 a NULL pointer or length not 8; -2 no
 * answer accepted; -3 not NOT client id (another key: not from the service);
 * -4 sequence number not above peer_seq (a replay).  Failures change
 * nothing. */
VESK_API int vesk_auth_client_verify(vesk_auth_client_ctx *c, const uint8_t *reply,
                                     int reply_length);
/* Writes the 16-byte sealed message with sequence number next_seq, then
 * raises next_seq.  *length is the capacity on entry and 16 after.  0; -1 a
 * NULL pointer or capacity below 16 (nothing changed).  Kept for
 * compatibility: no state and no expiry test (without an accepted answer it
 * seals under the all-zero session key), and the number is not first raised
 * to peer_seq. */
VESK_API int vesk_auth_client_seal(vesk_auth_client_ctx *c, uint8_t *out, int *length);

/* Zeroes the 52 bytes and sets own_id, next_seq 1, VESK_AUTH_FLAG in flags
 * when flag is not 0, state VESK_AUTH_SERVER_INIT.  0; -1 NULL context.  Note
 * the argument order, unlike the client's init. */
VESK_API int vesk_auth_server_init(vesk_auth_server_ctx *s, uint32_t own_id, int flag);
/* Checks an authenticator message with this service's key and answers with
 * the 8-byte reply (sequence number seq + 1; next_seq ends at seq + 2);
 * *reply_length is the capacity on entry and 8 after.  On success the
 * ticket's fields replace those of any earlier ticket, peer_seq = seq, state
 * VESK_AUTH_SERVER_ACCEPTED.  0; -1 a NULL pointer, message length not 40 or
 * capacity below 8; -2 not a service context; -3 the ticket names another
 * service (or was made under another key); -4 the authenticator names
 * another client, or its sequence number is not above peer_seq (a replay;
 * peer_seq is not reset by a new ticket).  Failures change nothing.  Kept for
 * compatibility: the ticket's issue time and lifetime are not tested (expiry
 * is enforced only by the client); test them in the context if needed. */
VESK_API int vesk_auth_server_accept(vesk_auth_server_ctx *s, const uint8_t service_key[16],
                                     const uint8_t *message, int message_length, uint8_t *reply,
                                     int *reply_length);
/* Checks a sealed message: 0 and peer_seq = its sequence number; -1 a NULL
 * pointer or length below 16 (a longer message is accepted, only its first
 * 16 bytes are read); -2 no ticket accepted; -3 another client, or a
 * sequence number not above peer_seq (a replay: -3 here, -4 in accept and
 * verify).  Failures change nothing.  Only the first block is checked; the
 * marker block is not examined. */
VESK_API int vesk_auth_server_open(vesk_auth_server_ctx *s, const uint8_t *message,
                                   int message_length);

/* Ticket extensions (Windows ordinals 1020 to 1023): what a service needs to
 * rely on a ticket.  The wire, the sizes and the calls above are unchanged;
 * peers that know nothing of these keep working with them, both ways.
 *
 * Why they exist: the four blocks of a ticket are encrypted independently,
 * and anyone may ask the issuer for a ticket in any client's name.  So a
 * client can join its own ticket's session-key blocks (bytes 0-15) to the
 * id block (16-23) of a ticket issued in another client's name, write an
 * authenticator with its own session key, and vesk_auth_server_accept takes
 * it as that other client; a fresher ticket's time block (24-31) makes an
 * expired ticket pass a service's expiry test the same way.  Bound tickets
 * close both; see docs/security.md for what they do not close.
 *
 * A service that uses them: peek at the ticket to choose its context (one
 * per client id and ticket), accept (bound when the issuer issues bound
 * tickets), then check the ticket's time against its own clock. */

/* Results of the ticket extensions, beside VESK_AUTH_BAD_ARGUMENT,
 * VESK_AUTH_BAD_STATE and VESK_AUTH_REFUSED. */
#define VESK_AUTH_NOT_YET_VALID (-5)  /* issued later than the service's now + skew */
#define VESK_AUTH_TICKET_EXPIRED (-6) /* issue time + lifetime + skew is past */
#define VESK_AUTH_WRONG_LIFETIME (-7) /* not VESK_AUTH_TICKET_LIFETIME: not issued so */
#define VESK_AUTH_NO_HMAC (-8)        /* the platform's HMAC-SHA-256 failed (out of */
                                      /* memory, no provider): nothing done */

/* A ticket's fields other than its session key. */
typedef struct vesk_auth_ticket_info {
    uint32_t client_id, service_id, issue_time, lifetime;
} vesk_auth_ticket_info;

/* Opens a ticket -- answer bytes 0-31, or the first 32 bytes of an
 * authenticator message -- under `service_key` without touching any context,
 * so that a service can choose the context before it accepts (ordinal 1020).
 * 0 and `info` filled; -1 a NULL pointer or length below 32; -3 the ticket
 * names another service than `own_id` (or was made under another key), and
 * `info` is not written.  Nothing here proves the ticket genuine: the fields
 * are what its blocks decrypt to (a bound accept is the proof).  Any thread. */
VESK_API int vesk_auth_ticket_peek(const uint8_t service_key[16], uint32_t own_id,
                                   const uint8_t *ticket, int length, vesk_auth_ticket_info *info);

/* The service's own time test of the ticket an accepted context holds, with
 * `now` from the service's clock (seconds since 1970 in 32 bits) and `skew`
 * the seconds its clock and the issuer's may differ by (300 is usual)
 * (ordinal 1021).  0 when the lifetime is VESK_AUTH_TICKET_LIFETIME and
 * issue_time - skew <= now <= issue_time + lifetime + skew, the edges
 * included (computed without wrapping: times past 2106 are not handled);
 * -1 NULL context; -2 no accepted ticket; -7 another lifetime (tested
 * first); -5 issued later than now + skew; -6 expired.  Reads only.  Only a
 * bound accept makes the issue time and lifetime trustworthy: after the
 * plain accept they are whatever the ticket's last block says. */
VESK_API int vesk_auth_server_check_time(const vesk_auth_server_ctx *s, uint32_t now,
                                         uint32_t skew);

/* Bound tickets (ordinal 1022): as vesk_auth_issue, with its results, but
 * the session key is derived instead of taken from the callback (which is
 * still asked for the service and client keys; its session key is not
 * used): the first 16 bytes of HMAC-SHA-256 keyed with the service key over
 * the 22 bytes "vuvidur bound ticket 1" followed by the ticket plaintext's
 * bytes 16-31 (client id, service id, issue time, lifetime, little-endian).
 * Also -8 when the HMAC cannot be computed (nothing written).  The answer's
 * layout is unchanged: the client accepts it as any answer, and
 * vesk_auth_server_accept takes the ticket.  The ticket is a function of the
 * keys, the ids and the second of issue: two requests of one client in the
 * same second get the same ticket and session key (a client that restarts
 * and logs in again within that second is refused as a replay by a service
 * that keeps its contexts).  HMAC-SHA-256 comes from libcrypto (OpenSSL 3)
 * on Linux and BCrypt on Windows. */
VESK_API int vesk_auth_issue_bound(const uint8_t *request, int request_length,
                                   vesk_auth_key_fn keys, uint8_t *out, int *length);

/* As vesk_auth_server_accept, with its results, and -3 also when the
 * ticket's session key is not the one derived from its bytes 16-31: a ticket
 * joined from blocks of several tickets, or with its time block replaced, is
 * refused and the context is left as it was (ordinal 1023).  Also -8 when
 * the HMAC cannot be computed (nothing changed).  The session-key test runs
 * after every other test, so a replay is refused without the HMAC.  Accepts
 * only tickets from vesk_auth_issue_bound. */
VESK_API int vesk_auth_server_accept_bound(vesk_auth_server_ctx *s, const uint8_t service_key[16],
                                           const uint8_t *message, int message_length,
                                           uint8_t *reply, int *reply_length);

/* ======================================================================
 * CGI
 * ====================================================================== */

/* A CGI program calls cgiInit once at its start, then any number of
 * cgiGetValue and one header operation followed by its body on cgiOutStream,
 * and cgiUninit once at its end.  The request state is process-wide and
 * unlocked: call all of these from one thread.  Both cgiInit and cgiUninit
 * append a trace to a debug log, opening and closing it for every write; a
 * log that cannot be opened is skipped without a report.  The trace holds the
 * method, content type, content length and the whole query string of every
 * request.  The environment variable VESK_CGI_LOG places the log: unset or
 * empty, "cgidebug.txt" in the current directory; "off", no log at all; any
 * other value, the file of that path. */

/* The CGI response stream (ordinal 342, a data export).  NULL until cgiInit
 * sets it to standard output.  The program writes its response body here and
 * may point it at another stream after cgiInit; the header operations write
 * to whatever stream it names at the time of the call. */
VESK_API extern FILE *cgiOutStream;

/* Captures the request (ordinal 345): reads REQUEST_METHOD, QUERY_STRING,
 * CONTENT_TYPE and CONTENT_LENGTH (an unset variable is the empty string; the
 * length is read like atoi, but saturates at the 32-bit limits), logs them,
 * empties the form field list and sets cgiOutStream to standard output.
 *   - GET (any letter case): decodes the query string; standard input is
 *     never read.
 *   - POST (any letter case) with the content type
 *     "application/x-www-form-urlencoded" (any letter case; parameters
 *     after a ";", such as "; charset=UTF-8", are accepted and not looked
 *     at): reads exactly CONTENT_LENGTH bytes from standard input (none when
 *     it is 0 or absent) and decodes them; the query string is ignored.
 *   - POST with the content type "multipart/form-data" (any letter case,
 *     with its boundary parameter, a token or a quoted string): reads
 *     exactly CONTENT_LENGTH bytes and decodes the parts, text fields and
 *     files alike, each value exactly as sent (see cgiGetBytes and
 *     cgiGetFile).  A malformed body (no usable boundary, no delimiter, a
 *     part without its headers or without a name, the closing delimiter
 *     missing, CONTENT_LENGTH 0 or absent) makes cgiInit return -1.
 *   - Any other method or content type: no fields.
 * Decoding: pairs "name=value" separated by "&", "+" is a blank and "%XY" a
 * byte.  Kept for compatibility: the name runs to the first "=" even across
 * "&" ("x&y=1" gives the name "x&y"); bytes after the last pair without "="
 * give no field; a non-hex digit in an escape counts as 0 ("%zz" is a NUL
 * byte, which ends the text); an escape cut off by the end gives nothing.
 * Duplicate names are all kept, in input order.
 * Returns 0 when the request was captured (with or without form input), -1
 * when the body was shorter than announced, CONTENT_LENGTH was negative, a
 * multipart body was malformed, or memory ran out; the list is then empty.
 * A later cgiInit replaces the fields of an earlier one. */
VESK_API int cgiInit(void);

/* Ends the request (ordinal 341): logs "In cgiUninit", releases every form
 * field, reads and discards what is left of a POST body (up to CONTENT_LENGTH
 * bytes in all, or to the end of standard input when CONTENT_LENGTH is unset
 * or empty; never more once the input ends; what the program read itself
 * stays read), flushes standard output, waits 1 ms and logs "End of Cgi
 * processing".  Some servers break the response of a program that ends with
 * the request body unread.  Returns the result of closing the log after that last line:
 * 0, or EOF (-1) when the line could not be written (including a log that
 * cannot be opened); 0 when the log is switched off. */
VESK_API int cgiUninit(void);

/* Results of cgiGetValue. */
#define VESK_CGI_VALUE_COPIED 0 /* the whole value was copied */
#define VESK_CGI_VALUE_FULL 1   /* the buffer filled: the value may have been cut */
#define VESK_CGI_VALUE_EMPTY 3  /* the field holds nothing besides CR and LF */
#define VESK_CGI_NO_FIELD 4     /* no field of this name (or no request, or bad arguments) */

/* Copies the value of the first field called `name` (exact bytes, letter
 * case matters) into `buffer` of `size` bytes, always NUL-terminated
 * (ordinal 340).  CR and LF bytes in the value are dropped, not counted.
 * Returns:
 *   0  the value was copied whole (1 to size - 2 bytes);
 *   1  the buffer filled: size - 1 bytes were written, and the value may have
 *      been cut.  Kept for compatibility: fullness is tested before each
 *      byte, so a value of exactly size - 1 bytes also gives 1, and size 1
 *      gives 1 for every existing field;
 *   3  the field exists but holds nothing besides CR and LF (empty string);
 *   4  no field has this name (empty string), which is also the answer
 *      before cgiInit, after cgiUninit and after a cgiInit that failed.
 * A null name, a null buffer or a size below 1 returns 4 and writes nothing.
 * Code 2 is never returned. */
VESK_API int cgiGetValue(const char *name, char *buffer, int size);

/* Write a complete header block to cgiOutStream, "Content-type: <type>"
 * (ordinal 343) or "Location: <location>" (ordinal 344), each followed by two
 * LF bytes (the header line's end and the empty line that closes the
 * block); the body follows directly.  Returns what the formatted write
 * returns: the number of bytes written (25 for "text/html"), negative on a
 * write error.  Before cgiInit (cgiOutStream still NULL), or with a NULL
 * argument, returns -1 and writes nothing.  Nothing is flushed here. */
VESK_API int cgiPrintContentType(const char *type);
VESK_API int cgiPrintLocation(const char *location);

/* CGI extensions (Windows ordinals 1005 to 1008): every value of a name, the
 * bytes exactly as sent, and the files of a multipart/form-data POST.  They
 * read the same decoded request as cgiGetValue, from cgiInit to cgiUninit
 * (before cgiInit, after cgiUninit and after a failed cgiInit there is no
 * field).  Names compare as cgiGetValue compares them.  Every field of a
 * name counts, in input order, text and file fields alike; a file field's
 * value is the file's bytes. */

/* The result of cgiGetBytes and cgiGetFile when the field was found; not
 * found gives VESK_CGI_NO_FIELD. */
#define VESK_CGI_FOUND 0

/* One uploaded file, as cgiGetFile describes it.  Every pointer is the
 * library's and stays valid until cgiUninit or the next cgiInit.
 * 16 bytes on 32-bit targets, 32 on 64-bit ones. */
typedef struct vesk_cgi_file {
    const char *filename;     /* as the browser sent it, NUL-terminated; "" when no
                                 file was chosen */
    const char *content_type; /* the part's Content-Type, "application/octet-stream"
                                 when it had none */
    const void *data;         /* the file's bytes (size of them; not terminated) */
    int32_t size;             /* 0 for an empty file or none chosen */
} vesk_cgi_file;
#if defined(__cplusplus)
static_assert(offsetof(vesk_cgi_file, size) == 3 * sizeof(void *), "vesk_cgi_file_size");
static_assert(sizeof(vesk_cgi_file) == 4 * sizeof(void *), "vesk_cgi_file_sizeof");
#else
typedef char vesk_cgi_file_size_check[offsetof(vesk_cgi_file, size) == 3 * sizeof(void *) ? 1 : -1];
typedef char vesk_cgi_file_sizeof_check[sizeof(vesk_cgi_file) == 4 * sizeof(void *) ? 1 : -1];
#endif

/* How many fields are called `name` (ordinal 1005): 0 when none, before
 * cgiInit, or for a NULL name. */
VESK_API int cgiCountValues(const char *name);

/* Copies the index-th field called `name` (0 is the first, the one that
 * cgiGetValue copies) into `buffer` exactly as cgiGetValue copies, with its
 * results 0, 1 and 3 (ordinal 1006).  4 (empty string) when there is no such
 * field, also for an index below 0 or beyond the last; a NULL name, a NULL
 * buffer or a size below 1 returns 4 and writes nothing. */
VESK_API int cgiGetValueAt(const char *name, int index, char *buffer, int size);

/* The index-th field called `name` exactly as sent, every byte kept (CR, LF
 * and NUL included) (ordinal 1007): *data points to the library's copy, which
 * stays valid until cgiUninit or the next cgiInit (not NUL-terminated; never
 * NULL when found), *size is its length.  0 found; 4 not found or a NULL
 * argument, and then nothing is written. */
VESK_API int cgiGetBytes(const char *name, int index, const char **data, int *size);

/* The index-th file field called `name` of a multipart/form-data POST (0 the
 * first file of that name; text fields of the name are not counted)
 * (ordinal 1008).  0 found, `*file` filled; 4 no such file field or a NULL
 * argument, and then nothing is written. */
VESK_API int cgiGetFile(const char *name, int index, vesk_cgi_file *file);

#ifdef __cplusplus
}
#endif

#endif /* VUVIDUR_H */
