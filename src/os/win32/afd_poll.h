// The socket layer's overlapped poll request (the request its own select is
// built on), shared by the poller and the thread that accepts ahead: the
// request code, its event bits and the record its driver reads.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <climits>

namespace os::afd {

constexpr ULONG kIoctlPoll = 0x00012024;
constexpr ULONG kPollReceive = 0x0001;
constexpr ULONG kPollSend = 0x0004;
constexpr ULONG kPollDisconnect = 0x0008;
constexpr ULONG kPollAbort = 0x0010;
constexpr ULONG kPollLocalClose = 0x0020;
constexpr ULONG kPollAccept = 0x0080;
constexpr ULONG kPollConnectFail = 0x0100;
constexpr NTSTATUS kStatusPending = 0x00000103;

// A timeout, a handle count, an exclusive flag, then per handle the socket,
// the events asked for and got, and a status.
struct PollHandle {
    HANDLE socket;
    ULONG events;
    NTSTATUS status;
};
struct PollRecord {
    LARGE_INTEGER timeout;
    ULONG count;
    ULONG exclusive;
    PollHandle handles[1];
};

// The system's request call, found at run time in the one module that has it
// (so that neither the DLL nor the static archive's users link to it).
using DeviceControlFn = NTSTATUS(NTAPI *)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                          ULONG, PVOID, ULONG, PVOID, ULONG);
inline DeviceControlFn device_control() {
    static const auto fn = reinterpret_cast<DeviceControlFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeviceIoControlFile")));
    return fn;
}

// Sends a poll request through `via` (any socket of the layer; its port gets
// the completion) for `events` of the one socket `watched`, into `record`,
// which must stay in place until the completion comes.  The request's
// status: 0 or kStatusPending when it was sent (a completion will come).
inline NTSTATUS send_poll(HANDLE via, HANDLE watched, ULONG events, OVERLAPPED *overlapped,
                          PollRecord *record) {
    *overlapped = OVERLAPPED{};
    record->timeout.QuadPart = LLONG_MAX;
    record->count = 1;
    record->exclusive = FALSE;
    record->handles[0].socket = watched;
    record->handles[0].events = events;
    record->handles[0].status = 0;
    return device_control()(via, nullptr, nullptr, overlapped,
                            reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal), kIoctlPoll,
                            record, sizeof *record, record, sizeof *record);
}

}  // namespace os::afd
