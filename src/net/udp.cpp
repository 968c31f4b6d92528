// UDP slots on the I/O thread: datagrams are taken from the socket several at
// a time (as many as the slot's channel surely has room for), each is handed
// to the datagram handler, the events of the batch are posted under one lock
// of the channel, and its answers go out together.  Probe policies, the probe
// log of strict mode and the reserved slots' peer indexes live here too.
#include <chrono>
#include <cstring>
#include <new>

#include "frame/memory.h"
#include "net/io_thread.h"
#include "net/peer_index.h"

namespace net {

os::Lock g_peer_lock;

// Room for one datagram's event, built in place: the datagram is received at
// kMsgFrameOffset, behind the room for its record's head, with one byte more
// than the largest frame so that a longer datagram shows as such.
constexpr int kDatagramStride = (kMsgFrameOffset + kDatagramCapacity + 1 + 7) / 8 * 8;

struct DatagramBatch {
    uint8_t records[os::kMaxDatagrams][kDatagramStride];
    os::Datagram in[os::kMaxDatagrams];
    uint8_t answers[os::kMaxDatagrams][kProbeReplySize];
    os::Datagram out[os::kMaxDatagrams];
    const uint8_t *posts[os::kMaxDatagrams];
    int post_sizes[os::kMaxDatagrams];
};

// When a source (slot and address) was last answered a probe under the paced
// policy: sets of kProbeNoteWays notes, chosen by a keyed hash.
struct ProbeNote {
    uint64_t key;  // slot << 32 | address; 0: none
    int64_t at_ms;
};
constexpr int kProbeNoteSets = 1024;
constexpr int kProbeNoteWays = 4;
constexpr int64_t kProbePaceMs = 1000;

namespace {

uint64_t g_hash_seed VESK_GUARDED_BY(g_io_thread) = 0;

// Whether a probe from `addr` to `slot` may be answered now under the paced
// policy; when it may, the answer is noted.  A source is answered at most
// once in kProbePaceMs.  A set whose notes are all recent and for others
// refuses too: a flood from many sources can never buy one of them a second
// answer.  Without the memory for the notes nothing is answered.
bool probe_pace_allows(int slot, uint32_t addr, int64_t now) VESK_REQUIRES(g_io_thread) {
    Engine &e = g_engine;
    if (e.probe_notes == nullptr) {
        const size_t count = static_cast<size_t>(kProbeNoteSets) * kProbeNoteWays;
        e.probe_notes = static_cast<ProbeNote *>(frame::try_alloc(count * sizeof(ProbeNote)));
        if (e.probe_notes == nullptr) return false;
        for (size_t i = 0; i < count; ++i) e.probe_notes[i] = ProbeNote{0, 0};
    }
    const uint64_t key = static_cast<uint64_t>(slot) << 32 | addr;
    ProbeNote *set =
        e.probe_notes + (hash_mix(key ^ g_hash_seed) % kProbeNoteSets) * kProbeNoteWays;
    ProbeNote *stale = nullptr;
    for (int w = 0; w < kProbeNoteWays; ++w) {
        ProbeNote &note = set[w];
        if (note.key == key) {
            if (now - note.at_ms < kProbePaceMs) return false;
            note.at_ms = now;
            return true;
        }
        if (stale == nullptr && (note.key == 0 || now - note.at_ms >= kProbePaceMs)) stale = &note;
    }
    if (stale == nullptr) return false;
    *stale = ProbeNote{key, now};
    return true;
}

// Strict mode: whether this slot sent a probe to `sender` within the window.
bool probed_recently(const Slot &s, uint64_t sender, int64_t now) VESK_REQUIRES(g_peer_lock) {
    if (s.probes == nullptr) return false;
    for (int i = 0; i < kProbesKept; ++i) {
        if (s.probes->key[i] == sender && now - s.probes->at_ms[i] <= kProbeReplyWindowMs) {
            return true;
        }
    }
    return false;
}

struct BatchOutcome {
    int posts = 0;
    int answers = 0;
};

// Decides what each received datagram of the batch becomes: an event to post
// (its record built in place), an answer to send, or a counted drop.
BatchOutcome classify(int slot, int type, DatagramBatch &b, int received)
    VESK_REQUIRES(g_io_thread) {
    Slot &s = slot_at(slot);
    Counters &c = g_engine.counters;
    const bool strict = s.strict.load(std::memory_order_relaxed) != 0;
    const int policy = s.probe_policy.load(std::memory_order_relaxed);
    const int64_t now = steady_ms();
    BatchOutcome o;
    uint64_t dropped = 0;
    uint64_t bytes = 0;
    os::LockGuard guard(g_peer_lock);
    const PeerView peers{{s.peers, static_cast<size_t>(s.peer_count)}, s.peer_index};
    for (int i = 0; i < received; ++i) {
        uint8_t *record = b.records[i];
        uint8_t *datagram = record + kMsgFrameOffset;
        const int n = b.in[i].length;
        SockAddr4 from;
        std::memcpy(&from, b.in[i].address, sizeof from);
        bytes += static_cast<uint64_t>(n);
        // Nothing can answer port 0, and nothing from it is posted.
        if (from.port == 0 || n > kDatagramCapacity) {
            ++dropped;
            continue;
        }
        const DatagramOutcome out = wire_handle_datagram(type, {datagram, static_cast<size_t>(n)},
                                                         from.addr, from.port, peers);
        switch (out.action) {
            case DatagramAction::post_data:
                wire_data_head(record, VESK_EV_UDP_DATA, slot, from.addr, from.port, out.length,
                               datagram);
                b.posts[o.posts] = record;
                b.post_sizes[o.posts++] = kMsgFrameOffset + n;
                break;
            case DatagramAction::post_probe_reply: {
                if (strict && !probed_recently(s, peer_key(from.addr, from.port), now)) {
                    tally(c.probe_replies_refused);
                    break;
                }
                // The reply's 9 bytes are in place behind the record's head.
                uint8_t *reply_record = datagram - (kProbeReplyRecordSize - kProbeReplySize);
                reply_record[0] = VESK_EV_PROBE_REPLY;
                std::memcpy(reply_record + 1, &slot, 4);
                b.posts[o.posts] = reply_record;
                b.post_sizes[o.posts++] = kProbeReplyRecordSize;
                break;
            }
            case DatagramAction::answer: {
                if (out.peer_index >= 0) {
                    // Keepalive answers: at most once a second per peer entry.
                    if (!wire_answer_due(s.answered[out.peer_index], peer_key(from.addr, from.port),
                                         now_ms())) {
                        break;
                    }
                } else if (policy == VESK_NET_PROBE_ANSWER_NONE ||
                           (policy == VESK_NET_PROBE_ANSWER_PACED &&
                            !probe_pace_allows(slot, from.addr, now))) {
                    ++dropped;
                    break;
                } else {
                    tally(c.probes_answered);
                }
                std::memcpy(b.answers[o.answers], out.answer, static_cast<size_t>(out.answer_size));
                b.out[o.answers].data = b.answers[o.answers];
                b.out[o.answers].length = out.answer_size;
                std::memcpy(b.out[o.answers].address, b.in[i].address, sizeof from);
                ++o.answers;
                break;
            }
            case DatagramAction::ignore:
                if (out.malformed) ++dropped;
                break;
        }
    }
    tally(c.bytes_in, bytes);
    if (dropped > 0) tally(c.datagrams_dropped, dropped);
    return o;
}

}  // namespace

void receive_datagrams(int slot, int type, IoBuffers &buf) {
    Engine &e = g_engine;
    Slot &s = slot_at(slot);
    DatagramBatch &b = *e.datagrams;
    const vesk_socket_t sock = s.socket.load(std::memory_order_relaxed);
    const int channel = s.channel.load(std::memory_order_acquire);
    // No more than the channel surely takes: what is not read waits in the
    // system's buffer rather than being read and dropped.
    int most = channel_room(channel) / kLargestEvent;
    if (most > os::kMaxDatagrams) most = os::kMaxDatagrams;
    if (most == 0) return;  // it waits for room (update_interest)
    for (int i = 0; i < most; ++i) {
        b.in[i].data = b.records[i] + kMsgFrameOffset;
        b.in[i].length = kDatagramCapacity + 1;
    }
    const int received = os::socket_receive_datagrams(sock, b.in, most);
    if (received < 0) {
        // The socket stays readable while its receive keeps failing: the
        // pass is slowed (see io_thread.cpp), and after a second of failures
        // the slot fails rather than being retried for ever.
        const bool failed = !os::socket_error_would_block(os::socket_last_error());
        buf.call_failed = buf.call_failed || failed;
        note_call_outcome(slot, failed);
        return;
    }
    note_call_outcome(slot, false);
    const BatchOutcome o = classify(slot, type, b, received);
    if (o.posts > 0) {
        ChannelWriter writer(channel);
        int posted = 0;
        for (; posted < o.posts; ++posted) {
            if (!writer.post(b.posts[posted], b.post_sizes[posted])) break;
        }
        // Only a channel released meanwhile refuses what was measured to fit.
        if (posted < o.posts) tally(e.counters.datagrams_dropped, uint64_t(o.posts - posted));
        int data = 0;
        for (int i = 0; i < posted; ++i) data += b.posts[i][0] == VESK_EV_UDP_DATA ? 1 : 0;
        if (data > 0) tally(e.counters.frames_in, static_cast<uint64_t>(data));
    }
    // Answers that the socket does not take are lost, as any datagram may be.
    for (int sent = 0; sent < o.answers;) {
        const int n = os::socket_send_datagrams(sock, b.out + sent, o.answers - sent);
        if (n <= 0) break;
        sent += n;
    }
}

bool build_udp_tables() {
    Engine &e = g_engine;
    g_hash_seed = hash_mix(
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<uintptr_t>(&e));
    e.datagrams = static_cast<DatagramBatch *>(frame::try_alloc(sizeof(DatagramBatch)));
    if (e.datagrams == nullptr || !g_peer_lock.init()) return false;
    if (e.reserved_count == 0) return true;
    os::LockGuard guard(g_peer_lock);
    auto *indexes = static_cast<PeerIndex *>(
        frame::try_alloc(sizeof(PeerIndex) * static_cast<size_t>(e.reserved_count)));
    if (indexes == nullptr) return false;
    for (int n = 0; n < e.reserved_count; ++n) new (&indexes[n]) PeerIndex();
    e.peer_indexes = indexes;
    for (int n = 1; n <= e.reserved_count; ++n) {
        Slot &s = slot_at(n);
        if (!indexes[n - 1].init(s.peers, s.peer_count, hash_mix(g_hash_seed + n))) return false;
        s.peer_index = &indexes[n - 1];
    }
    return true;
}

void release_udp_tables() VESK_NO_THREAD_SAFETY_ANALYSIS {
    Engine &e = g_engine;
    if (e.peer_indexes != nullptr) {
        for (int n = 0; n < e.reserved_count; ++n) e.peer_indexes[n].release();
        vesk_mem_free(e.peer_indexes);
    }
    if (e.slots != nullptr) {
        for (int n = 1; n <= e.slot_count; ++n) {
            Slot &s = slot_at(n);
            vesk_mem_free(s.probes);
            s.probes = nullptr;
            s.peer_index = nullptr;
        }
    }
    vesk_mem_free(e.datagrams);
    vesk_mem_free(e.probe_notes);
    e.peer_indexes = nullptr;
    e.datagrams = nullptr;
    e.probe_notes = nullptr;
    g_peer_lock.destroy();
}

void clear_udp_record(Slot &s) {
    s.probe_policy.store(VESK_NET_PROBE_ANSWER_ALL, std::memory_order_relaxed);
    os::LockGuard guard(g_peer_lock);
    if (s.peer_index != nullptr) {
        s.peer_index->clear();
    } else {
        for (int i = 0; i < s.peer_count; ++i) s.peers[i].store(0, std::memory_order_relaxed);
    }
    if (s.probes != nullptr) *s.probes = ProbeLog{};
}

bool note_probe(Slot &s, uint64_t destination) {
    os::LockGuard guard(g_peer_lock);
    if (s.probes == nullptr) {
        s.probes = static_cast<ProbeLog *>(frame::try_alloc(sizeof(ProbeLog)));
        if (s.probes == nullptr) return false;
        *s.probes = ProbeLog{};
    }
    ProbeLog &log = *s.probes;
    log.key[log.next] = destination;
    log.at_ms[log.next] = steady_ms();
    log.next = (log.next + 1) % kProbesKept;
    return true;
}

}  // namespace net

using namespace net;

extern "C" {

VESK_API int vesk_net_set_probe_policy(int slot, int policy) {
    if (!slot_in_range(slot) || policy < VESK_NET_PROBE_ANSWER_ALL ||
        policy > VESK_NET_PROBE_ANSWER_NONE) {
        return -1;
    }
    Slot &s = slot_at(slot);
    if (s.state.load(std::memory_order_acquire) == VESK_NET_FREE ||
        !is_udp(s.type.load(std::memory_order_relaxed))) {
        return -1;
    }
    s.probe_policy.store(static_cast<uint8_t>(policy), std::memory_order_relaxed);
    return 0;
}

VESK_API int vesk_net_set_receive_buffer(int slot, int bytes) {
    if (!slot_in_range(slot) || bytes < 1) return -1;
    Slot &s = slot_at(slot);
    const SocketUse use(slot);
    if (s.state.load(std::memory_order_seq_cst) == VESK_NET_FREE ||
        s.state.load(std::memory_order_seq_cst) == VESK_NET_CLOSING) {
        return -1;
    }
    const int given =
        os::socket_set_receive_buffer(s.socket.load(std::memory_order_relaxed), bytes);
    if (given < 0) note_os_error(os::socket_last_error());
    return given;
}

}  // extern "C"
