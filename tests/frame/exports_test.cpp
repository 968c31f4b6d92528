// The ordinal table against the list of assigned ordinals that callers rely on.
#include <gtest/gtest.h>
#ifndef _WIN32  // POSIX: the shared object through dlopen; Windows: tests/windows/dll_host.c
#include <dlfcn.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "frame/exports.h"
#include "vuvidur.h"

namespace {

struct Expected {
    int ordinal;
    const char *name;
    int alias_of;  // 0 unless the ordinal shares another ordinal's code
};

// Every assigned ordinal.  Nothing else may be in the table.
constexpr Expected kAssigned[] = {
    {1, "vesk_mem_alloc", 0},
    {2, "vesk_mem_free", 0},
    {3, "vesk_socket_create", 0},
    {4, "vesk_socket_bind", 0},
    {5, "vesk_socket_close", 0},
    {6, "vesk_socket_send", 0},
    {7, "vesk_socket_sendto", 0},
    {8, "vesk_socket_recvfrom", 0},
    {9, "vesk_socket_startup", 0},
    {10, "vesk_socket_cleanup", 0},
    {11, "vesk_msgq_create", 0},
    {12, "vesk_msgq_destroy", 0},
    {14, "vesk_msgq_put", 0},
    {15, "vesk_msgq_count", 0},
    {16, "vesk_msgq_get", 0},
    {17, "vesk_msgq_tryget", 0},
    {18, "vesk_list_init", 0},
    {19, "vesk_list_clear_with", 0},
    {20, "vesk_list_clear", 0},
    {21, "vesk_list_count", 0},
    {22, "vesk_list_past_end", 0},
    {23, "vesk_list_insert", 0},
    {24, "vesk_list_get", 0},
    {25, "vesk_list_remove", 0},
    {26, "vesk_mutex_create", 0},
    {27, "vesk_mutex_destroy", 0},
    {28, "vesk_mutex_lock", 0},
    {29, "vesk_mutex_unlock", 0},
    {30, "vesk_sem_create", 0},
    {31, "vesk_sem_destroy", 0},
    {32, "vesk_sem_post", 0},
    {33, "vesk_sem_wait", 0},
    {34, "vesk_sem_trywait", 0},
    {35, "vesk_thread_create", 0},
    {36, "vesk_thread_destroy", 0},
    {37, "vesk_stub_zero", 0},
    {38, "vesk_thread_exit", 0},
    {39, "vesk_stub_zero", 37},
    {40, "vesk_stub_void", 0},
    {41, "vesk_timer_init", 0},
    {42, "vesk_timer_start", 0},
    {43, "vesk_timer_stop", 0},
    {44, "vesk_timer_add", 0},
    {45, "vesk_timer_remove", 0},
    {46, "vesk_timer_remove_all", 0},
    {47, "vesk_usleep", 0},
    {48, "vesk_envelope_encrypt", 0},
    {49, "vesk_envelope_decrypt", 0},
    {50, "vesk_envelope_init", 0},
    {51, "vesk_envelope_set_key", 0},
    {52, "vesk_envelope_set_params", 0},
    {100, "vesk_ring_init", 0},
    {101, "vesk_ring_free", 0},
    {102, "vesk_ring_write", 0},
    {103, "vesk_ring_read", 0},
    {104, "vesk_ring_is_empty", 0},
    {105, "vesk_ring_has_data", 0},
    {106, "vesk_ring_reset", 0},
    {201, "vesk_net_init", 0},
    {202, "vesk_net_open", 0},
    {203, "vesk_net_channel_open", 0},
    {204, "vesk_net_attach", 0},
    {205, "vesk_net_get_socket", 0},
    {206, "vesk_net_connect", 0},
    {207, "vesk_net_channel_read", 0},
    {208, "vesk_net_send", 0},
    {209, "vesk_net_probe", 0},
    {210, "vesk_net_close", 0},
    {211, "vesk_net_channel_close", 0},
    {212, "vesk_net_add_peer", 0},
    {213, "vesk_net_remove_peer", 0},
    {214, "vesk_net_shutdown", 0},
    {300, "vesk_str_trim", 0},
    {301, "vesk_str_ncopy", 0},
    {302, "vesk_mem_realloc", 0},
    {303, "vesk_str_dup", 0},
    {304, "vesk_str_find_quote", 0},
    {305, "vesk_str_lower", 0},
    {306, "vesk_str_to_int", 0},
    {307, "vesk_str_token", 0},
    {308, "vesk_str_append", 0},
    {309, "vesk_rand_next", 0},
    {310, "vesk_str_unquote", 0},
    {311, "vesk_stub_void", 40},
    {312, "vesk_stub_void", 40},
    {313, "vesk_usleep", 47},
    {314, "vesk_rand_init", 0},
    {315, "vesk_mem_set", 0},
    {316, "vesk_set_debug_word", 0},
    {317, "vesk_module_dir", 0},
    {318, "vesk_config_load", 0},
    {319, "vesk_config_get", 0},
    {320, "vesk_process_create", 0},
    {321, "vesk_process_kill", 0},
    {322, "vesk_crc32", 0},
    {323, "vesk_tea_encrypt_block", 0},
    {324, "vesk_tea_decrypt_block", 0},
    {325, "vesk_tea_encrypt_buffer", 0},
    {326, "vesk_tea_decrypt_buffer", 0},
    {327, "vesk_hex_encode", 0},
    {328, "vesk_hex_decode", 0},
    {329, "vesk_auth_server_accept", 0},
    {330, "vesk_auth_server_init", 0},
    {331, "vesk_auth_server_open", 0},
    {332, "vesk_auth_client_authenticator", 0},
    {333, "vesk_auth_client_accept", 0},
    {334, "vesk_auth_issue", 0},
    {335, "vesk_auth_client_request", 0},
    {336, "vesk_auth_client_init", 0},
    {337, "vesk_auth_client_seal", 0},
    {339, "vesk_auth_client_verify", 0},
    {340, "cgiGetValue", 0},
    {341, "cgiUninit", 0},
    {342, "cgiOutStream", 0},
    {343, "cgiPrintContentType", 0},
    {344, "cgiPrintLocation", 0},
    {345, "cgiInit", 0},
    {346, "vesk_stub_void", 40},
};

// Functions the original table does not have, at ordinals from 1001 upward.
const Expected kExtensions[] = {
    {1001, "vesk_net_channel_wait", 0},
    {1002, "vesk_net_channel_read_many", 0},
    {1003, "vesk_net_send_many", 0},
    {1004, "vesk_version", 0},
    {1005, "cgiCountValues", 0},
    {1006, "cgiGetValueAt", 0},
    {1007, "cgiGetBytes", 0},
    {1008, "cgiGetFile", 0},
    {1010, "vesk_net_notify_sent", 0},
    {1011, "vesk_net_last_error", 0},
    {1012, "vesk_net_set_idle_timeout", 0},
    {1013, "vesk_net_set_address_limit", 0},
    {1014, "vesk_net_set_strict_framing", 0},
    {1015, "vesk_net_get_stats", 0},
    {1016, "vesk_net_set_probe_policy", 0},
    {1017, "vesk_net_set_receive_buffer", 0},
    {1020, "vesk_auth_ticket_peek", 0},
    {1021, "vesk_auth_server_check_time", 0},
    {1022, "vesk_auth_issue_bound", 0},
    {1023, "vesk_auth_server_accept_bound", 0},
};

template <typename T>
void *address_of_function(T *function) {
    return reinterpret_cast<void *>(function);
}

std::map<int, const frame::ExportEntry *> table_by_ordinal() {
    std::map<int, const frame::ExportEntry *> byOrdinal;
    for (const auto &entry : frame::export_table()) byOrdinal[entry.ordinal] = &entry;
    return byOrdinal;
}

}  // namespace

TEST(ExportTable, ListsOneHundredEighteenAssignedOrdinals) {
    EXPECT_EQ(std::size(kAssigned), 118u);
}

TEST(ExportTable, EveryEntryIsAnAssignedOrdinalWithItsName) {
    std::map<int, Expected> expected;
    for (const auto &e : kAssigned) expected[e.ordinal] = e;
    for (const auto &e : kExtensions) expected[e.ordinal] = e;
    std::set<int> seen;
    for (const auto &entry : frame::export_table()) {
        SCOPED_TRACE(entry.ordinal);
        EXPECT_TRUE(seen.insert(entry.ordinal).second) << "ordinal listed twice";
        if (entry.ordinal >= frame::kFirstExtensionOrdinal) {
            // An extension: a function of its own, under a name the ELF export list carries.
            EXPECT_EQ(entry.kind, frame::ExportKind::function);
            const std::string name = entry.name;
            EXPECT_TRUE(name.rfind("vesk_", 0) == 0 || name.rfind("cgi", 0) == 0) << name;
            EXPECT_NE(entry.address, nullptr);
            // Programs bind these numbers through the import library: fixed.
            auto it = expected.find(entry.ordinal);
            ASSERT_NE(it, expected.end()) << "extension not listed above";
            EXPECT_STREQ(entry.name, it->second.name);
            continue;
        }
        auto it = expected.find(entry.ordinal);
        ASSERT_NE(it, expected.end()) << "unassigned ordinal in the table";
        EXPECT_STREQ(entry.name, it->second.name);
        EXPECT_NE(entry.address, nullptr);
        if (it->second.alias_of != 0) {
            EXPECT_EQ(entry.kind, frame::ExportKind::alias);
            EXPECT_EQ(entry.target, it->second.alias_of);
        } else {
            EXPECT_NE(entry.kind, frame::ExportKind::alias);
        }
    }
}

TEST(ExportTable, EveryAssignedOrdinalIsPresent) {
    auto byOrdinal = table_by_ordinal();
    for (const auto &e : kAssigned) {
        EXPECT_EQ(byOrdinal.count(e.ordinal), 1u) << e.ordinal << " missing from the ordinal table";
    }
}

TEST(ExportTable, AliasesResolveToTheSameAddressAsTheirTarget) {
    for (const auto &e : kAssigned) {
        if (e.alias_of == 0) continue;
        SCOPED_TRACE(e.ordinal);
        EXPECT_EQ(vesk_proc_by_ordinal(e.ordinal), vesk_proc_by_ordinal(e.alias_of));
    }
}

TEST(ExportTable, UnassignedAndOutOfRangeOrdinalsResolveToNull) {
    std::set<int> assigned;
    for (const auto &e : kAssigned) assigned.insert(e.ordinal);
    // Between the original table and the extensions nothing is assigned.
    for (int n = -1; n < frame::kFirstExtensionOrdinal; ++n) {
        if (!assigned.count(n)) {
            EXPECT_EQ(vesk_proc_by_ordinal(n), nullptr) << n;
        }
    }
    EXPECT_EQ(vesk_proc_by_ordinal(65535), nullptr);
    EXPECT_EQ(vesk_proc_by_ordinal(INT_MIN), nullptr);
}

TEST(ExportTable, VersionIsAnExtensionAnsweringTheHeadersMacros) {
    EXPECT_EQ(vesk_proc_by_ordinal(1004), address_of_function(&vesk_version));
    char expected[32];
    std::snprintf(expected, sizeof expected, "%d.%d.%d", VESK_VERSION_MAJOR, VESK_VERSION_MINOR,
                  VESK_VERSION_PATCH);
    EXPECT_STREQ(VESK_VERSION_STRING, expected);
    EXPECT_STREQ(vesk_version(), VESK_VERSION_STRING);
}

TEST(ExportTable, DataExportIsTheAddressOfTheStreamVariable) {
    EXPECT_EQ(vesk_proc_by_ordinal(342), static_cast<void *>(&cgiOutStream));
}

#ifndef _WIN32  // POSIX only: ELF exports names; the Windows DLL exports none
// The shared object exports exactly the names in the table (plus the ordinal
// resolver), each at the address that the shared object's own resolver gives.
TEST(SharedObject, ExportsEveryTableNameAtTheResolversAddress) {
    void *lib = dlopen(VESK_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto resolve = reinterpret_cast<void *(*)(int)>(dlsym(lib, "vesk_proc_by_ordinal"));
    ASSERT_NE(resolve, nullptr);
    for (const auto &entry : frame::export_table()) {
        SCOPED_TRACE(entry.name);
        void *byName = dlsym(lib, entry.name);
        EXPECT_NE(byName, nullptr);
        EXPECT_EQ(byName, resolve(entry.ordinal));
    }
    auto version = reinterpret_cast<const char *(*)()>(dlsym(lib, "vesk_version"));
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version(), VESK_VERSION_STRING);
    // Internal functions (os::set_nonblocking, frame::on_load) under their mangled names.
    EXPECT_EQ(dlsym(lib, "_ZN2os15set_nonblockingEi"), nullptr) << "internal function exported";
    EXPECT_EQ(dlsym(lib, "_ZN5frame7on_loadEv"), nullptr) << "internal function exported";
    dlclose(lib);
}

// The file the build links is the real name behind the SONAME: libvuvidur.so.MAJOR.MINOR.PATCH.
TEST(SharedObject, FileNameCarriesTheHeadersVersion) {
    std::string path = VESK_SHARED_LIBRARY;
    std::string suffix = std::string(".so.") + VESK_VERSION_STRING;
    ASSERT_GE(path.size(), suffix.size());
    EXPECT_EQ(path.substr(path.size() - suffix.size()), suffix) << path;
}
#endif
