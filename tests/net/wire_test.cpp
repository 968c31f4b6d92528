// The pure cores of the socket engine: the framed-stream cutter, the UDP
// datagram handler, event records, and whole-event posting and reading.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/channel_ring.h"
#include "net/wire.h"
#include "records.h"

namespace {

using net::Cut;
using net::CutStep;
using net::DatagramAction;
using net::PeerEntry;
using Bytes = std::vector<uint8_t>;

Bytes frame(int length, uint8_t fill = 0x41) {
    Bytes f(3 + (length > 0 ? length : 0), fill);
    net::wire_write_frame_header(f.data(), static_cast<int16_t>(length));
    return f;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Collects what the cutter hands over; takes at most `room` frames.
struct Sink final : net::FrameSink {
    std::vector<Bytes> frames;
    size_t room = SIZE_MAX;
    bool report_too_long = true;
    int too_long_length = 0;

    bool frame(const uint8_t *f, int length) override {
        if (frames.size() >= room) return false;
        frames.emplace_back(f + 3, f + 3 + length);
        return true;
    }
    bool too_long(int length) override {
        too_long_length = length;
        return report_too_long;
    }
};

// A receive area fed in chunks, cut after each one as the I/O thread does.
struct Stream {
    Bytes held;
    Sink sink;
    std::vector<int> delivered;
    net::StreamCut last{};

    void receive(const Bytes &chunk) {
        held.insert(held.end(), chunk.begin(), chunk.end());
        cut();
    }
    void cut() {
        const size_t before = sink.frames.size();
        last = net::wire_cut_stream(held, sink);
        for (size_t i = before; i < sink.frames.size(); ++i) {
            delivered.push_back(static_cast<int>(sink.frames[i].size()));
        }
        held.erase(held.begin(), held.begin() + last.consumed);
    }
};

TEST(FrameCutter, TwoAndAHalfFramesGiveTwoFramesAndHoldTheHalfUntilItCompletes) {
    Bytes third = frame(10, 0x33);
    Stream s;
    s.receive(concat({frame(5), frame(7), Bytes(third.begin(), third.begin() + 6)}));
    EXPECT_EQ(s.delivered, (std::vector<int>{5, 7}));
    EXPECT_EQ(s.held.size(), 6u);
    s.receive(Bytes(third.begin() + 6, third.end()));
    EXPECT_EQ(s.delivered, (std::vector<int>{5, 7, 10}));
    EXPECT_TRUE(s.held.empty());
}

TEST(FrameCutter, FrameSplitInsideItsHeaderCompletesOnTheNextReceive) {
    Bytes f = frame(300);
    Stream s;
    s.receive(Bytes(f.begin(), f.begin() + 2));  // marker and one length byte
    EXPECT_TRUE(s.delivered.empty());
    s.receive(Bytes(f.begin() + 2, f.begin() + 100));
    EXPECT_TRUE(s.delivered.empty());
    s.receive(Bytes(f.begin() + 100, f.end()));
    EXPECT_EQ(s.delivered, (std::vector<int>{300}));
}

TEST(FrameCutter, KeepalivesAndNegativeLengthsAreDroppedWithoutDelivery) {
    Stream s;
    s.receive(concat({frame(0), frame(4), frame(-1), frame(-32768), frame(2)}));
    EXPECT_EQ(s.delivered, (std::vector<int>{4, 2}));
    EXPECT_TRUE(s.held.empty());
}

TEST(FrameCutter, BadMarkerDropsEverythingHeldIncludingValidFramesBehindIt) {
    Stream s;
    s.receive(concat({Bytes{0x7E, 0x01, 0x00, 0x55}, frame(3), frame(4)}));
    EXPECT_TRUE(s.delivered.empty());
    EXPECT_TRUE(s.held.empty());
    EXPECT_FALSE(s.last.failed) << "a bad marker is not a broken connection";
    s.receive(frame(6));  // framing restarts with the next bytes received
    EXPECT_EQ(s.delivered, (std::vector<int>{6}));
}

TEST(FrameCutter, FramesTheSinkCannotTakeStayHeldInOrderUntilItCan) {
    Stream s;
    s.sink.room = 1;
    s.receive(concat({frame(5, 1), frame(6, 2), frame(7, 3)}));
    EXPECT_EQ(s.delivered, (std::vector<int>{5}));
    EXPECT_TRUE(s.last.waiting);
    EXPECT_EQ(s.held, concat({frame(6, 2), frame(7, 3)}));
    s.sink.room = SIZE_MAX;
    s.cut();
    EXPECT_EQ(s.delivered, (std::vector<int>{5, 6, 7}));
    EXPECT_FALSE(s.last.waiting);
    EXPECT_EQ(s.sink.frames[2], Bytes(7, 3));
}

TEST(FrameCutter, FrameTooLongFailsTheStreamOnlyOnceItCanBeReported) {
    Stream s;
    s.sink.report_too_long = false;
    Bytes header = frame(net::kMaxData + 1);
    header.resize(3);
    s.receive(concat({frame(4), header}));
    EXPECT_EQ(s.delivered, (std::vector<int>{4}));
    EXPECT_TRUE(s.last.waiting);
    EXPECT_FALSE(s.last.failed);
    EXPECT_EQ(s.held, header) << "kept until it can be reported";
    s.sink.report_too_long = true;
    s.cut();
    EXPECT_TRUE(s.last.failed);
    EXPECT_EQ(s.sink.too_long_length, net::kMaxData + 1);
    EXPECT_TRUE(s.held.empty());
}

TEST(FrameCutter, LengthAboveMaximumIsReportedAsSoonAsTheHeaderIsThere) {
    Bytes header = frame(net::kMaxData + 1);
    header.resize(3);
    Cut cut = net::wire_cut_next(header);
    EXPECT_EQ(cut.step, CutStep::too_long);
    EXPECT_EQ(cut.length, net::kMaxData + 1);
    Bytes largest = frame(net::kMaxData);
    cut = net::wire_cut_next(largest);
    EXPECT_EQ(cut.step, CutStep::frame);
    EXPECT_EQ(cut.size, 3 + net::kMaxData);
}

TEST(FrameCutter, FewerThanThreeBytesNeedMore) {
    EXPECT_EQ(net::wire_cut_next({}).step, CutStep::need_more);
    const uint8_t two[] = {0xFE, 0x05};
    EXPECT_EQ(net::wire_cut_next(two).step, CutStep::need_more);
    const uint8_t bad[] = {0x00, 0x05};  // not even the marker is judged yet
    EXPECT_EQ(net::wire_cut_next(bad).step, CutStep::need_more);
}

TEST(FrameHeader, LengthIsSignedLittleEndian) {
    uint8_t h[3];
    net::wire_write_frame_header(h, 5);
    EXPECT_EQ(Bytes(h, h + 3), (Bytes{0xFE, 0x05, 0x00}));
    net::wire_write_frame_header(h, 2048);
    EXPECT_EQ(Bytes(h, h + 3), (Bytes{0xFE, 0x00, 0x08}));
    net::wire_write_frame_header(h, net::kCtlProbe);
    EXPECT_EQ(Bytes(h, h + 3), (Bytes{0xFE, 0x00, 0x80}));
    net::wire_write_frame_header(h, -3);
    EXPECT_EQ(Bytes(h, h + 3), (Bytes{0xFE, 0xFD, 0xFF}));
    EXPECT_EQ(net::wire_read_length(h), -3);
}

// ---- Datagrams -------------------------------------------------------------

constexpr uint32_t kSender = 0x0100007F;  // 127.0.0.1 as it stands in memory
constexpr uint16_t kSenderPort = 0x3930;  // any port, network order
constexpr uint32_t kStranger = 0x0200007F;

struct Peers {
    std::vector<PeerEntry> entries;
    explicit Peers(size_t n) : entries(n) {
        for (auto &e : entries) e.store(0);
    }
    void set(size_t index, uint32_t addr, uint16_t port) {
        entries[index].store(net::peer_key(addr, port));
    }
};

net::DatagramOutcome handle(int type, const Bytes &d, const Peers &peers, uint32_t from = kSender,
                            uint16_t port = kSenderPort) {
    return net::wire_handle_datagram(type, d, from, port, net::PeerView{peers.entries});
}

TEST(DatagramHandler, DataFrameFromAnySenderIsDeliveredOnlyWithTheExactLength) {
    Peers none(1);
    for (int type : {VESK_NET_UDP_ANSWER, VESK_NET_UDP_MULTI, VESK_NET_UDP_QUIET}) {
        SCOPED_TRACE(type);
        auto out = handle(type, frame(5), none);
        EXPECT_EQ(out.action, DatagramAction::post_data);
        EXPECT_EQ(out.length, 5);
        Bytes six = frame(5);
        net::wire_write_frame_header(six.data(), 6);  // says 6, carries 5
        EXPECT_EQ(handle(type, six, none).action, DatagramAction::ignore);
        Bytes eight(8, 0);
        net::wire_write_frame_header(eight.data(), 4);  // 4 is not 8 - 3
        EXPECT_EQ(handle(type, eight, none).action, DatagramAction::ignore);
    }
}

TEST(DatagramHandler, ProbeOfExactlyThreeBytesIsAnsweredWithTheSendersAddressAndPort) {
    Peers none(1);
    for (int type : {VESK_NET_UDP_ANSWER, VESK_NET_UDP_MULTI, VESK_NET_UDP_QUIET}) {
        SCOPED_TRACE(type);
        auto out = handle(type, frame(net::kCtlProbe), none);
        ASSERT_EQ(out.action, DatagramAction::answer);
        ASSERT_EQ(out.answer_size, 9);
        EXPECT_EQ(Bytes(out.answer, out.answer + 9),
                  (Bytes{0xFE, 0x01, 0x80, 0x7F, 0x00, 0x00, 0x01, 0x30, 0x39}));
        Bytes four = frame(net::kCtlProbe);
        four.push_back(0);
        EXPECT_EQ(handle(type, four, none).action, DatagramAction::ignore);
    }
}

TEST(DatagramHandler, ProbeReplyOfExactlyNineBytesIsPosted) {
    Peers none(1);
    Bytes reply = {0xFE, 0x01, 0x80, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(handle(VESK_NET_UDP_QUIET, reply, none).action, DatagramAction::post_probe_reply);
    reply.push_back(7);
    EXPECT_EQ(handle(VESK_NET_UDP_QUIET, reply, none).action, DatagramAction::ignore);
    reply.resize(3);
    EXPECT_EQ(handle(VESK_NET_UDP_MULTI, reply, none).action, DatagramAction::ignore);
}

TEST(DatagramHandler, AnswerTypeAnswersEveryControlFrameOfItsPeerWithAKeepalive) {
    Peers one(1);
    one.set(0, kSender, kSenderPort);
    for (int value : {0, -1, -3, -200}) {
        SCOPED_TRACE(value);
        auto out = handle(VESK_NET_UDP_ANSWER, frame(value), one);
        ASSERT_EQ(out.action, DatagramAction::answer);
        EXPECT_EQ(Bytes(out.answer, out.answer + out.answer_size), (Bytes{0xFE, 0x00, 0x00}));
    }
    EXPECT_EQ(handle(VESK_NET_UDP_ANSWER, frame(0), one, kStranger).action, DatagramAction::ignore);
    // Same address, other port: a stranger too.
    EXPECT_EQ(handle(VESK_NET_UDP_ANSWER, frame(0), one, kSender, 0x1111).action,
              DatagramAction::ignore);
}

TEST(DatagramHandler, QuietTypeNeverAnswersControlFrames) {
    Peers one(1);
    one.set(0, kSender, kSenderPort);
    for (int value : {0, -1}) {
        EXPECT_EQ(handle(VESK_NET_UDP_QUIET, frame(value), one).action, DatagramAction::ignore);
    }
}

TEST(DatagramHandler, MultiTypeAnswersAKeepaliveWithThePeersOneBasedIndex) {
    Peers table(4);
    table.set(0, kStranger, 1);
    table.set(2, kSender, kSenderPort);  // entry 3
    auto out = handle(VESK_NET_UDP_MULTI, frame(0), table);
    ASSERT_EQ(out.action, DatagramAction::answer);
    EXPECT_EQ(Bytes(out.answer, out.answer + out.answer_size), (Bytes{0xFE, 0xFD, 0xFF}));
    EXPECT_EQ(handle(VESK_NET_UDP_MULTI, frame(0), table, 0x0900007F).action,
              DatagramAction::ignore);
}

TEST(DatagramHandler, MultiTypeEchoesAnIndexedKeepaliveOnlyFromThePeerInThatEntry) {
    Peers table(4);
    table.set(1, kSender, kSenderPort);  // entry 2
    auto out = handle(VESK_NET_UDP_MULTI, frame(-2), table);
    ASSERT_EQ(out.action, DatagramAction::answer);
    EXPECT_EQ(Bytes(out.answer, out.answer + out.answer_size), (Bytes{0xFE, 0xFE, 0xFF}));
    EXPECT_EQ(handle(VESK_NET_UDP_MULTI, frame(-3), table).action, DatagramAction::ignore);
    EXPECT_EQ(handle(VESK_NET_UDP_MULTI, frame(-5), table).action, DatagramAction::ignore);
}

// Two slots registered with each other would answer each other's answers
// for ever; each entry answers at most once a second, across clock wraps.
TEST(DatagramHandler, KeepaliveAnswersArePacedPerEntryAndProbesAreNot) {
    Peers table(4);
    table.set(1, kSender, kSenderPort);
    auto out = handle(VESK_NET_UDP_MULTI, frame(-2), table);
    EXPECT_EQ(out.peer_index, 1) << "the entry whose note paces the answer";
    EXPECT_EQ(handle(VESK_NET_UDP_MULTI, frame(net::kCtlProbe), table).peer_index, -1);

    const uint64_t a = net::peer_key(kSender, kSenderPort);
    const uint64_t b = net::peer_key(kStranger, kSenderPort);
    for (uint32_t start : {5u, 0xFFFFFF00u}) {  // the second one wraps
        SCOPED_TRACE(start);
        net::AnswerNote note;
        EXPECT_TRUE(net::wire_answer_due(note, a, start));
        EXPECT_FALSE(net::wire_answer_due(note, a, start));
        EXPECT_FALSE(net::wire_answer_due(note, a, start + 999));
        EXPECT_TRUE(net::wire_answer_due(note, b, start + 999)) << "another peer in the entry";
        EXPECT_TRUE(net::wire_answer_due(note, a, start + 1000));
        EXPECT_FALSE(net::wire_answer_due(note, a, start + 1999));
        EXPECT_TRUE(net::wire_answer_due(note, a, start + 2000));
    }
}

TEST(DatagramHandler, MalformedDatagramsAreIgnored) {
    Peers one(1);
    one.set(0, kSender, kSenderPort);
    EXPECT_EQ(handle(VESK_NET_UDP_ANSWER, Bytes{}, one).action, DatagramAction::ignore);
    EXPECT_EQ(handle(VESK_NET_UDP_ANSWER, Bytes{0xFE, 0x00}, one).action, DatagramAction::ignore);
    EXPECT_EQ(handle(VESK_NET_UDP_ANSWER, Bytes{0xFD, 0x00, 0x00}, one).action,
              DatagramAction::ignore);
    // A control value with a payload is not a control frame.
    Bytes long_keepalive = {0xFE, 0x00, 0x00, 0x01};
    EXPECT_EQ(handle(VESK_NET_UDP_ANSWER, long_keepalive, one).action, DatagramAction::ignore);
}

// ---- Event records and rings ---------------------------------------------

struct Ring {
    vesk_ring ring;
    explicit Ring(int size) { vesk_ring_init(&ring, size); }
    ~Ring() { vesk_ring_free(&ring); }
    Bytes raw(int n) {
        Bytes out(static_cast<size_t>(n));
        std::memcpy(out.data(), ring.storage + ring.read_pos, out.size());
        return out;
    }
};

TEST(EventRecords, TcpDataEventOfFivePayloadBytesHasRecordLength23) {
    Ring r(4096);
    uint8_t head[net::kMsgHeadSize];
    const uint8_t payload[5] = {1, 2, 3, 4, 5};
    uint8_t fh[3];
    net::wire_write_frame_header(fh, 5);
    net::wire_data_head(head, VESK_EV_TCP_DATA, 7, 0x0100007F, 0x3930, 5, fh);
    ASSERT_TRUE(net::ring_post_event(r.ring, head, sizeof head, payload, 5));
    Bytes stored = r.raw(3 + 23);
    int16_t length;
    std::memcpy(&length, stored.data() + 1, 2);
    EXPECT_EQ(stored[0], 0xFE);
    EXPECT_EQ(length, 23);  // host order: FE 17 00 on a little-endian host

    uint8_t out[VESK_NET_MAX_RECORD];
    ASSERT_EQ(net::ring_read_event(r.ring, out), 23);
    const nettest::Msg msg = nettest::unpack_msg(out);
    EXPECT_EQ(msg.kind, VESK_EV_TCP_DATA);
    EXPECT_EQ(msg.slot, 7);
    EXPECT_EQ(msg.addr, 0x0100007Fu);
    EXPECT_EQ(msg.port, 0x3930);
    EXPECT_EQ(msg.length, 5);
    EXPECT_EQ(Bytes(out + 15, out + 23), (Bytes{0xFE, 0x05, 0x00, 1, 2, 3, 4, 5}));
}

TEST(EventRecords, FixedRecordsCarryTheirFieldsAtTheirOffsets) {
    uint8_t rec[16];
    std::memset(rec, 0xAA, sizeof rec);
    ASSERT_EQ(net::wire_connect_record(rec, 3, -1), 9);
    const nettest::Connect c = nettest::unpack_connect(rec);
    EXPECT_EQ(c.kind, VESK_EV_CONNECT);
    EXPECT_EQ(c.slot, 3);
    EXPECT_EQ(c.result, -1);

    ASSERT_EQ(net::wire_accept_record(rec, 2, 9, 0x0100007F, 0x3930), 15);
    const nettest::Accept a = nettest::unpack_accept(rec);
    EXPECT_EQ(a.kind, VESK_EV_ACCEPT);
    EXPECT_EQ(a.listener, 2);
    EXPECT_EQ(a.slot, 9);
    EXPECT_EQ(a.addr, 0x0100007Fu);
    EXPECT_EQ(a.port, 0x3930);

    std::memset(rec, 0xAA, sizeof rec);
    ASSERT_EQ(net::wire_closed_record(rec, VESK_EV_CLOSED, 4), 15);
    EXPECT_EQ(Bytes(rec, rec + 15), (Bytes{9, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    const uint8_t reply[9] = {0xFE, 0x01, 0x80, 127, 0, 0, 1, 0x30, 0x39};
    ASSERT_EQ(net::wire_probe_reply_record(rec, 5, reply), 14);
    const nettest::ProbeReply p = nettest::unpack_probe_reply(rec);
    EXPECT_EQ(p.kind, VESK_EV_PROBE_REPLY);
    EXPECT_EQ(p.mark, 0xFE);
    EXPECT_EQ(p.value, VESK_CTL_PROBE_REPLY);
    EXPECT_EQ(p.addr, 0x0100007Fu);
    EXPECT_EQ(p.port, 0x3930);
}

TEST(ChannelRing, EventThatDoesNotFitWholeIsNotStoredAtAll) {
    // Room for the 3-byte header and part of the record only.
    Ring r(3 + 9 + 3);  // holds 14 bytes: one connect event (12) fits, two do not
    uint8_t rec[9];
    net::wire_connect_record(rec, 1, 0);
    ASSERT_TRUE(net::ring_post_event(r.ring, rec, 9, nullptr, 0));
    EXPECT_FALSE(net::ring_post_event(r.ring, rec, 9, nullptr, 0));
    uint8_t out[VESK_NET_MAX_RECORD];
    EXPECT_EQ(net::ring_read_event(r.ring, out), 9);
    EXPECT_EQ(net::ring_read_event(r.ring, out), 0) << "no lone header was left behind";
}

TEST(ChannelRing, ReadingMalformedContentsGivesTheDocumentedCodes) {
    uint8_t out[VESK_NET_MAX_RECORD];
    struct Case {
        const char *what;
        Bytes contents;
        int result;
        int left;  // bytes the ring holds afterwards
    } cases[] = {
        {"first byte not the marker costs the 3 bytes read", {0x00, 9, 0, 1, 2, 3}, -3, 3},
        {"fewer than 3 bytes", {0xFE, 9}, -3, 0},
        {"record longer than 2066", {0xFE, 0x13, 0x08, 1, 2}, -3, 2},
        {"negative length read as unsigned is too long", {0xFE, 0xFF, 0xFF, 1}, -3, 1},
        {"empty record", {0xFE, 0, 0, 1, 2}, -3, 2},
        {"header standing alone empties the ring", {0xFE, 9, 0, 3, 1, 0, 0}, -3, 0},
        {"one whole record", {0xFE, 2, 0, 7, 8, 0xFE}, 2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Ring r(64);
        ASSERT_EQ(vesk_ring_write(&r.ring, c.contents.data(), static_cast<int>(c.contents.size())),
                  0);
        EXPECT_EQ(net::ring_read_event(r.ring, out), c.result);
        int left = r.ring.write_pos - r.ring.read_pos;
        EXPECT_EQ(left, c.left);
    }
}

TEST(ChannelRing, CorruptPositionsGiveRingFailure) {
    Ring r(64);
    r.ring.read_pos = 100;  // outside the storage
    uint8_t out[VESK_NET_MAX_RECORD];
    EXPECT_EQ(net::ring_read_event(r.ring, out), -2);
    Ring empty(64);
    EXPECT_EQ(net::ring_read_event(empty.ring, out), 0);
}

TEST(ChannelRing, EventsAcrossTheRingsEndStayWholeAndBadRecordsAreRefused) {
    // A ring of 16 bytes, its positions near the end: each 8-byte event
    // (header and 5 bytes) wraps somewhere else, header bytes included.
    uint8_t out[VESK_NET_MAX_RECORD];
    const uint8_t head[5] = {10, 20, 30, 40, 50};
    for (int start = 8; start < 16; ++start) {
        SCOPED_TRACE(start);
        Ring r(16);
        r.ring.read_pos = r.ring.write_pos = start;
        ASSERT_TRUE(net::ring_post_event(r.ring, head, 3, head + 3, 2));
        EXPECT_TRUE(net::ring_next_event_whole(r.ring));
        ASSERT_EQ(net::ring_read_event(r.ring, out), 5);
        EXPECT_EQ(Bytes(out, out + 5), Bytes(head, head + 5));
        EXPECT_FALSE(net::ring_next_event_whole(r.ring)) << "empty again";
    }
    Ring r(64);
    EXPECT_FALSE(net::ring_post_event(r.ring, head, 0, nullptr, 0)) << "an empty record";
    std::vector<uint8_t> big(VESK_NET_MAX_RECORD + 1);
    EXPECT_FALSE(net::ring_post_event(r.ring, big.data(), VESK_NET_MAX_RECORD, big.data(), 1));
    EXPECT_EQ(r.ring.write_pos, 0) << "nothing stored";
    // Headers that are not an event's: never reported whole.
    for (Bytes bad : {Bytes{0x00, 1, 0, 7}, Bytes{0xFE, 0, 0, 7}, Bytes{0xFE, 0x13, 0x08, 7}}) {
        Ring b(64);
        ASSERT_EQ(vesk_ring_write(&b.ring, bad.data(), static_cast<int>(bad.size())), 0);
        EXPECT_FALSE(net::ring_next_event_whole(b.ring));
    }
}

TEST(ChannelRing, EventsOfEverySizeSurviveEveryPlaceInTheRing) {
    // Events of 1 to 40 bytes through a 61-byte ring, the reader lagging by
    // up to three events: each starts and ends at every offset, ends exactly
    // at the storage's end, wraps in its header or its record, and the
    // emptied ring starts again at the front.  Each event comes out whole
    // and in order, whether it is read alone or with others.
    Ring r(61);
    uint8_t out[VESK_NET_MAX_RECORD];
    std::vector<Bytes> queued;
    size_t next_out = 0;
    int rewound = 0;
    for (int i = 0; i < 2000; ++i) {
        Bytes event(static_cast<size_t>(1 + (i * 7 + i / 5) % 40));
        for (size_t b = 0; b < event.size(); ++b) event[b] = static_cast<uint8_t>(i + b);
        const int head = static_cast<int>(event.size()) / 3;
        const bool posted = net::ring_post_event(r.ring, event.data(), head, event.data() + head,
                                                 static_cast<int>(event.size()) - head);
        if (posted) {
            queued.push_back(event);
        } else {
            ASSERT_LT(net::ring_room(r.ring), 3 + static_cast<int>(event.size()));
            --i;  // read one, then post it again
        }
        if (!posted || queued.size() - next_out > static_cast<size_t>(i / 3 % 4)) {
            ASSERT_TRUE(net::ring_next_event_whole(r.ring));
            const int taken = i % 2 == 0 ? net::ring_read_event(r.ring, out)
                                         : net::ring_take_contiguous_event(r.ring, out);
            if (taken == 0) {
                // Not in one piece: the general path takes it.
                ASSERT_EQ(net::ring_read_event(r.ring, out),
                          static_cast<int>(queued[next_out].size()));
            } else {
                ASSERT_EQ(taken, static_cast<int>(queued[next_out].size()));
            }
            EXPECT_EQ(Bytes(out, out + queued[next_out].size()), queued[next_out]) << i;
            ++next_out;
            if (next_out == queued.size()) {
                EXPECT_EQ(r.ring.read_pos, 0);
                EXPECT_EQ(r.ring.write_pos, 0);
                ++rewound;
            }
        }
    }
    EXPECT_GT(rewound, 100);
}

TEST(ChannelRing, AWholeEventIsOnlyReportedInsideASoundRing) {
    // One whole event, then each kind of corrupt position: never reported
    // whole, and never read outside the storage to find out.
    const uint8_t head[4] = {1, 2, 3, 4};
    struct Case {
        const char *what;
        int read_pos;
        int write_pos;
        bool whole;
    } cases[] = {
        {"sound", 0, 7, true},
        {"read position past the end", 64, 7, false},
        {"negative read position", -1, 7, false},
        {"write position past the end", 0, 64, false},
        {"negative write position", 0, -5, false},
        {"a header without its record", 0, 5, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Ring r(64);
        ASSERT_TRUE(net::ring_post_event(r.ring, head, 4, nullptr, 0));
        r.ring.read_pos = c.read_pos;
        r.ring.write_pos = c.write_pos;
        EXPECT_EQ(net::ring_next_event_whole(r.ring), c.whole);
    }
    vesk_ring none{};
    EXPECT_FALSE(net::ring_next_event_whole(none));
    EXPECT_EQ(net::ring_room(none), 0);
}

}  // namespace
