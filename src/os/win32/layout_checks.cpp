// The records that cross the DLL's boundary, checked against the byte layout
// that 32-bit Windows callers were compiled with.  Nothing here runs.
#include <cstddef>

#include "vuvidur.h"

static_assert(sizeof(void *) == 4, "the Windows DLL is a 32-bit module");

static_assert(sizeof(vesk_thread_cell) == 8);
static_assert(offsetof(vesk_thread_cell, handle) == 0 && offsetof(vesk_thread_cell, id) == 4);
static_assert(sizeof(vesk_process_info) == 16);

static_assert(sizeof(TimerSpec) == 60);
static_assert(offsetof(TimerSpec, context) == 0);
static_assert(offsetof(TimerSpec, interval) == 4);
static_assert(offsetof(TimerSpec, extra) == 8);
static_assert(offsetof(TimerSpec, callback) == 12);
static_assert(offsetof(TimerSpec, param) == 16);
static_assert(offsetof(TimerSpec, data) == 20);

static_assert(sizeof(vesk_ring) == 16);
static_assert(sizeof(vesk_msgq) == 24);
static_assert(sizeof(vesk_list) == 8);

static_assert(sizeof(SettingsEntry) == 40);
static_assert(sizeof(SettingsTable) == 2004);

static_assert(sizeof(vesk_envelope_key) == 18);
static_assert(sizeof(vesk_auth_client_ctx) == 80);
static_assert(offsetof(vesk_auth_client_ctx, client_id) == 32);
static_assert(offsetof(vesk_auth_client_ctx, session_key) == 48);
static_assert(offsetof(vesk_auth_client_ctx, state) == 76);
static_assert(sizeof(vesk_auth_server_ctx) == 52);
static_assert(offsetof(vesk_auth_server_ctx, client_id) == 16);
static_assert(offsetof(vesk_auth_server_ctx, state) == 48);

static_assert(sizeof(vesk_cgi_file) == 16);
static_assert(offsetof(vesk_cgi_file, filename) == 0);
static_assert(offsetof(vesk_cgi_file, content_type) == 4);
static_assert(offsetof(vesk_cgi_file, data) == 8);
static_assert(offsetof(vesk_cgi_file, size) == 12);
