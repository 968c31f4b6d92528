// The C++ face (vuvidur.hpp): each owner through its life, moved-from and
// failure paths included, the error type, the byte helpers, and an engine
// exchange written with the layer alone.
// test-platform: POSIX (a listener's port from getsockname, /proc/self/exe)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unordered_set>

#include "vuvidur.hpp"

namespace vv = vuvidur;
using namespace std::chrono_literals;

namespace {

// Runs `f`, expecting a vuvidur::error from `call` with `code`.
template <class F>
void expect_error(F &&f, const char *call, vv::errc code) {
    try {
        f();
        ADD_FAILURE() << "no error from " << call;
    } catch (const vv::error &e) {
        EXPECT_STREQ(e.call(), call);
        EXPECT_EQ(e.code(), code) << e.what();
        EXPECT_NE(std::string(e.what()).find(std::string(vv::name_of(code))), std::string::npos)
            << e.what();
    }
}

vv::Address bound_address(const vv::Slot &slot) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(slot.socket(), reinterpret_cast<sockaddr *>(&a), &len);
    return vv::Address{{127, 0, 0, 1}, ntohs(a.sin_port)};
}

// The next event of a channel within 3 s, or a test failure.
vv::Event next(vv::Channel &ch) {
    EXPECT_TRUE(ch.wait(3000ms));
    auto e = ch.read();
    if (!e) throw std::runtime_error("no event");
    return *e;
}

}  // namespace

TEST(CxxLayer, ErrorCarriesTheCallTheResultAndItsHeaderName) {
    try {
        vv::Engine bad(vv::EngineConfig{0, 1, 0, 1, 1 << 16});
        FAIL() << "an engine of no slots was set up";
    } catch (const std::system_error &e) {  // catchable as the standard type
        const auto &v = dynamic_cast<const vv::error &>(e);
        EXPECT_STREQ(v.call(), "vesk_net_init");
        EXPECT_EQ(v.result(), -1);
        EXPECT_EQ(v.name(), "VESK_NET_BAD_ARGUMENT");
        EXPECT_EQ(e.code(), vv::errc::net_bad_argument);
        EXPECT_STREQ(e.code().category().name(), "vuvidur");
        EXPECT_EQ(std::string(e.what()),
                  "vesk_net_init returned -1: VESK_NET_BAD_ARGUMENT: "
                  "number out of range, wrong type or state");
    }
    // Codes that share a value in the header keep their own names.
    EXPECT_NE(vv::make_error_code(vv::errc::net_send_pending),
              vv::make_error_code(vv::errc::net_peers_full));
    EXPECT_EQ(vv::name_of(vv::errc::auth_expired), "VESK_AUTH_EXPIRED");
}

TEST(CxxLayer, MutexAndThreadsCountUnderLockGuardAndUniqueLock) {
    vv::Mutex mutex;
    int counter = 0;
    auto add = [&] {
        for (int i = 0; i < 10000; ++i) {
            std::lock_guard<vv::Mutex> guard(mutex);
            std::unique_lock<vv::Mutex> again(mutex);  // recursive
            ++counter;
        }
    };
    vv::Thread a(add);
    vv::Thread b(std::move(a));  // the moved-from thread owns nothing
    EXPECT_FALSE(a.joinable());
    vv::Thread c([owned = std::make_unique<int>(1), &add] { add(); });  // move-only callable
    EXPECT_NE(b.id(), 0u);
    b.join();
    c.join();
    EXPECT_EQ(counter, 20000);
    expect_error([&] { b.join(); }, "vesk_thread_destroy", vv::errc::invalid_argument);

    vv::Mutex moved(std::move(mutex));
    expect_error([&] { mutex.lock(); }, "vesk_mutex_lock", vv::errc::failed);
}

TEST(CxxLayer, ThreadThatDoesNotEndIsTerminatedAndJoinSaysSo) {
    std::atomic<bool> started{false};
    vv::Thread t([&] {
        started = true;
        for (;;) {
        }
    });
    while (!started) vesk_usleep(1000);
    expect_error([&] { t.join(); }, "vesk_thread_destroy", vv::errc::thread_terminated);
    EXPECT_FALSE(t.joinable());
}

TEST(CxxLayer, SemaphoreCountsAndRefusesANegativeStart) {
    vv::Semaphore s(1);
    EXPECT_TRUE(s.try_wait());
    EXPECT_FALSE(s.try_wait());
    s.post();
    s.wait();
    expect_error([] { vv::Semaphore bad(-1); }, "vesk_sem_create", vv::errc::not_created);
}

TEST(CxxLayer, RingOwnsItsStorageThroughMoves) {
    vv::Ring ring(8);  // stores 7
    ASSERT_TRUE(ring.write(vv::as_bytes("abcde")));
    EXPECT_FALSE(ring.write(vv::as_bytes("fgh")));  // no room: nothing stored
    vv::Ring moved(std::move(ring));
    ring = vv::Ring(4);  // the moved-from ring takes new storage
    std::byte out[8];
    ASSERT_EQ(moved.read(out), 5u);
    EXPECT_EQ(vv::as_text({out, 5}), "abcde");
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(ring.read(out), 0u);
}

TEST(CxxLayer, MessageQueueHandsItemsOverAndDeletesWhatIsLeft) {
    vv::MessageQueue<std::string> q;
    q.put(std::make_unique<std::string>("first"));
    q.put(std::make_unique<std::string>("second"));
    q.put(std::make_unique<std::string>("left behind"));  // deleted with the queue
    EXPECT_EQ(q.size(), 3u);
    EXPECT_EQ(*q.get(), "first");
    EXPECT_EQ(*q.try_get(), "second");

    vv::MessageQueue<std::string> moved(std::move(q));
    auto item = std::make_unique<std::string>("refused");
    expect_error([&] { q.put(std::move(item)); }, "vesk_msgq_put", vv::errc::msgq_refused);
    ASSERT_TRUE(item);  // a refused item stays the caller's
    expect_error([&] { moved.put(nullptr); }, "vesk_msgq_put", vv::errc::invalid_argument);
}

TEST(CxxLayer, ListKeepsOrderAndGivesItemsBack) {
    vv::List<int> list;
    list.push_back(std::make_unique<int>(1));
    list.push_back(std::make_unique<int>(3));
    list.insert(1, std::make_unique<int>(2));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(*list.get(1), 2);
    EXPECT_EQ(list.get(3), nullptr);
    EXPECT_EQ(*list.remove(0), 1);
    vv::List<int> moved(std::move(list));
    EXPECT_EQ(*moved.get(0), 2);
    expect_error([&] { (void)moved.remove(5); }, "vesk_list_remove", vv::errc::invalid_argument);
}

TEST(CxxLayer, SettingsAreAMapLikeView) {
    const std::string name = "cpp_layer_settings_" + std::to_string(getpid());
    const auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
    std::ofstream(path) << "port = 7000\nhost localhost\nport 1\n";
    vv::Settings settings(name);
    std::filesystem::remove(path);
    EXPECT_EQ(settings.get("port"), "7000");  // the first of two
    EXPECT_EQ(settings.get("missing"), std::nullopt);
    EXPECT_EQ(settings.value_or("missing", "x"), "x");
    ASSERT_EQ(settings.size(), 3u);
    EXPECT_EQ(settings.entries()[1].key, "host");
    EXPECT_EQ(settings.entries()[1].value, "localhost");
    expect_error([&] { vv::Settings gone(name); }, "vesk_config_load", vv::errc::config_unreadable);
}

// A refused settings file names the path tried and the first line refused.
TEST(CxxLayer, SettingsRefusalsNameThePathAndTheLine) {
    const std::string name = "cpp_layer_refused_" + std::to_string(getpid());
    const auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
    const auto what = [&](const std::string &file) {
        try {
            vv::Settings settings(file);
        } catch (const vv::error &e) {
            return std::string(e.what());
        }
        return std::string("loaded");
    };
    EXPECT_NE(what(name).find(path.string() + ": cannot be opened"), std::string::npos)
        << what(name);
    std::ofstream(path) << "port 7000\r\nhost\r\nroom lobby\n";
    EXPECT_NE(what(name).find("line 2 refused: \"host\""), std::string::npos) << what(name);
    std::ofstream(path) << "a 1\n" << std::string(150, 'k') << " v\n";
    EXPECT_NE(what(name).find("line 2 refused"), std::string::npos) << what(name);
    std::ofstream(path) << "port 7000\n\n";
    EXPECT_NE(what(name).find("line 2 refused: \"\""), std::string::npos) << what(name);
    std::filesystem::remove(path);
    EXPECT_NE(what(std::string(120, 'n')).find("longer than 99 characters"), std::string::npos);
}

// Sends are statuses: gone and busy are normal outcomes, and a SendQueue
// keeps what a slow reader cannot take yet, in order, until a Sent event.
TEST(CxxLayer, SendOutcomesSentEventsAndTheSendQueue) {
    vv::Engine engine;
    vv::Channel ch(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::loopback());
    listener.attach(ch);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 16384;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(bound_address(listener).port);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    vv::Slot served = vv::Slot::adopt(std::get<vv::Accepted>(next(ch)).slot);
    setsockopt(served.socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    ASSERT_TRUE(served.notify_sent());
    EXPECT_EQ(std::get<vv::Sent>(next(ch)).slot, served.number()) << "nothing pending: at once";
    EXPECT_THROW((void)served.send(std::vector<std::byte>(VESK_NET_MAX_DATA + 1)), vv::error);

    // The client does not read: the queue takes what the slot cannot, and
    // flush says busy at once (no wait) until the Sent event.
    vv::SendQueue queue(200000);
    std::string expected;
    std::size_t pushed = 0;
    vv::SendStatus last = vv::SendStatus::sent;
    for (int refusals = 0; refusals < 200; ++pushed) {
        std::string frame = "frame " + std::to_string(pushed) + " " + std::string(1000, 'x');
        if (!queue.push(vv::as_bytes(frame))) break;
        expected +=
            std::string("\xFE") + char(frame.size() & 0xFF) + char(frame.size() >> 8) + frame;
        last = queue.flush(served);
        if (last == vv::SendStatus::busy) {
            ++refusals;
            usleep(1000);
        }
    }
    EXPECT_EQ(last, vv::SendStatus::busy);
    EXPECT_FALSE(queue.empty());
    EXPECT_FALSE(queue.push(std::vector<std::byte>(200000))) << "over the limit: refused";

    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (got.size() < expected.size()) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    while (!queue.empty()) {
        const auto sent = std::get<vv::Sent>(next(ch));
        ASSERT_EQ(sent.slot, served.number());
        const vv::SendStatus s = queue.on_sent(served);
        ASSERT_NE(s, vv::SendStatus::gone);
    }
    reader.join();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "every frame, in order, once";

    // The peer resets: sends and the queue say gone, nothing is thrown.
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
    vv::Event ended = next(ch);
    while (std::holds_alternative<vv::Sent>(ended)) ended = next(ch);
    EXPECT_TRUE(std::holds_alternative<vv::Failed>(ended) ||
                std::holds_alternative<vv::Closed>(ended));
    EXPECT_EQ(served.send(vv::as_bytes("late")), vv::SendStatus::gone);
    ASSERT_TRUE(queue.push(vv::as_bytes("late")));
    EXPECT_EQ(queue.flush(served), vv::SendStatus::gone);
}

TEST(CxxLayer, EngineErrorsCarryTheSystemsReasonAndAFullTableSaysSo) {
    vv::Engine engine(vv::EngineConfig{2, 1, 0, 1, 1 << 16});
    EXPECT_EQ(engine.slot_count(), 2);
    auto first = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::loopback());
    EXPECT_EQ(engine.slots_in_use(), 1);
    try {
        (void)vv::Slot::open(vv::SlotType::tcp_listen_framed, bound_address(first));
        ADD_FAILURE() << "a second listener on one port";
    } catch (const vv::error &e) {
        EXPECT_EQ(e.os_error(), VESK_NET_ERR_ADDRESS_IN_USE);
        EXPECT_NE(std::string(e.what()).find(bound_address(first).to_string()), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("in use, error 98"), std::string::npos) << e.what();
    }
    auto second = vv::Slot::open(vv::SlotType::udp_quiet, vv::Address::loopback());
    EXPECT_EQ(engine.slots_in_use(), 2);
    try {
        (void)vv::Slot::open(vv::SlotType::udp_quiet, vv::Address::loopback());
        ADD_FAILURE() << "a third slot in a table of two";
    } catch (const vv::error &e) {
        EXPECT_EQ(e.os_error(), 0);
        EXPECT_NE(std::string(e.what()).find("every slot of the engine is in use"),
                  std::string::npos)
            << e.what();
    }
}

// Each defence against hostile clients takes only the slots it applies to
// (i: idle timeout, a: address limit, s: strict framing, p: probe policy); the counters see
// the table.
TEST(CxxLayer, HostileClientSettingsTakeOnlyTheirSlotsAndStatsSeeTheTable) {
    vv::Engine engine(vv::EngineConfig{8, 1, 0, 1, 1 << 16});
    const auto open = [](vv::SlotType t) { return vv::Slot::open(t, vv::Address::loopback()); };
    std::pair<vv::Slot, std::string_view> rows[] = {{open(vv::SlotType::tcp_listen_framed), "ias"},
                                                    {open(vv::SlotType::tcp_listen_stream), "ia"},
                                                    {open(vv::SlotType::udp_quiet), "sp"},
                                                    {open(vv::SlotType::tcp_connect), "is"},
                                                    {vv::Slot(), ""}};
    const auto check = [](bool takes, auto set) {
        if (takes)
            EXPECT_NO_THROW(set());
        else
            EXPECT_THROW(set(), vv::error);
    };
    for (auto &[slot, takes] : rows) {
        SCOPED_TRACE("slot " + std::to_string(slot.number()));
        check(takes.find('i') != takes.npos, [&] { slot.set_idle_timeout(60s); });
        check(takes.find('a') != takes.npos, [&] { slot.set_address_limit(64); });
        check(takes.find('s') != takes.npos, [&] { slot.set_strict_framing(true); });
        check(takes.find('p') != takes.npos,
              [&] { slot.set_probe_policy(vv::ProbePolicy::paced); });
    }
    check(false, [&] { rows[0].first.set_idle_timeout(-1ms); });
    const vesk_net_stats s = engine.stats();
    EXPECT_EQ(s.slot_count, 8u);
    EXPECT_EQ(s.slots_in_use, 4u);
}

TEST(CxxLayer, TimersRunAnyCallableUntilRemoved) {
    vv::TimerService timers;
    expect_error([] { vv::TimerService second; }, "vesk_timer_init", vv::errc::invalid_argument);
    std::atomic<int> runs{0};
    {
        vv::Timer t = timers.add(0s, [&runs, owned = std::make_unique<int>(0)] { ++runs; });
        for (int i = 0; i < 300 && runs == 0; ++i) vesk_usleep(10000);
        ASSERT_GT(runs.load(), 0);
    }
    const int after = runs;
    vesk_usleep(1200000);  // two passes and more
    EXPECT_EQ(runs.load(), after);
}

TEST(CxxLayer, BytesHelpersMatchKnownValuesAndRefuseWhatDoesNotFit) {
    EXPECT_EQ(vv::crc32(vv::as_bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(vv::crc32(vv::as_bytes("6789"), vv::crc32(vv::as_bytes("12345"))), 0xCBF43926u);
    EXPECT_EQ(vv::hex_encode(vv::as_bytes("\x01\xAB")), "01AB");
    EXPECT_EQ(vv::as_text(vv::hex_decode("4869")), "Hi");
    expect_error([] { vv::hex_decode("48G9"); }, "vesk_hex_decode", vv::errc::invalid_argument);
    expect_error([] { vv::hex_decode("486"); }, "vesk_hex_decode", vv::errc::invalid_argument);
    expect_error([] { vv::key_from_hex("0011"); }, "vesk_hex_decode", vv::errc::invalid_argument);

    const vv::Key key = vv::key_from_hex("000102030405060708090A0B0C0D0E0F");
    const auto plain = vv::as_bytes("thirteen byte");
    const auto cipher = vv::tea_encrypt(key, plain);
    ASSERT_EQ(cipher.size(), plain.size());
    EXPECT_EQ(vv::as_text(vv::tea_decrypt(key, cipher)), "thirteen byte");
    const std::vector<std::byte> too_long(vv::tea_max_length + 1);
    expect_error([&] { vv::tea_encrypt(key, too_long); }, "vesk_tea_encrypt_buffer",
                 vv::errc::invalid_argument);

    const vv::Envelope envelope(key);
    const auto sealed = envelope.seal(vv::as_bytes("secret"));
    EXPECT_EQ(sealed.size(), 16u);
    EXPECT_EQ(vv::as_text(envelope.open(sealed)), "secret");
    EXPECT_TRUE(envelope.open(envelope.seal({})).empty());
    // Under another key the trailing bytes are not zero.  (Data this long
    // keeps the garbled header's padding from making the length negative,
    // which would be envelope_no_room instead.)
    const auto longer = envelope.seal(vv::as_bytes("a longer secret"));
    const vv::Envelope other(vv::Key{});
    expect_error([&] { other.open(longer); }, "vesk_envelope_decrypt", vv::errc::envelope_not_zero);
    expect_error([&] { envelope.open(std::span(sealed).first(12)); }, "vesk_envelope_decrypt",
                 vv::errc::envelope_bad_input);
}

TEST(CxxLayer, TicketExchangeRunsAndRefusesReplaysAndUnknownClients) {
    const vv::Key client_key = vv::key_from_hex("11111111111111111111111111111111");
    const vv::Key service_key = vv::key_from_hex("22222222222222222222222222222222");
    const vv::Key session_key = vv::key_from_hex("33333333333333333333333333333333");
    const auto keys = [&](std::uint32_t client, std::uint32_t) -> std::optional<vv::IssuerKeys> {
        if (client == 99) throw std::logic_error("client 99");
        if (client != 7) return std::nullopt;
        return vv::IssuerKeys{service_key, client_key, session_key};
    };
    vv::TicketClient client(7, 5);
    client.accept(client_key, vv::issue_ticket(client.request(), keys));
    vv::TicketService service(5, service_key);
    const auto authenticator = client.authenticator();
    const auto login = service.accept(authenticator);
    ASSERT_TRUE(login) << vv::name_of(login.reason);
    client.verify(login.reply);
    EXPECT_EQ(login.client_id, 7u);
    EXPECT_EQ(service.open(login.session, client.seal()), vv::TicketReason::accepted);
    EXPECT_EQ(service.accept(authenticator).reason, vv::TicketReason::replayed);

    expect_error([&] { vv::issue_ticket(vv::TicketClient(8, 5).request(), keys); },
                 "vesk_auth_issue", vv::errc::callback_refused);
    EXPECT_THROW(vv::issue_ticket(vv::TicketClient(99, 5).request(), keys), std::logic_error);
}

TEST(CxxLayer, EngineExchangeThroughTypedEvents) {
    vv::Engine engine;
    vv::Engine nested;  // counts only
    nested = vv::Engine(std::move(nested));
    vv::Channel server_ch(engine), client_ch(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::loopback());
    listener.attach(server_ch);
    const vv::Address where = bound_address(listener);
    expect_error([&] { vv::Slot::open(vv::SlotType::tcp_listen_framed, where); }, "vesk_net_open",
                 vv::errc::net_none);

    auto client = vv::Slot::open(vv::SlotType::tcp_connect);
    client.attach(client_ch);
    if (!client.connect(where)) {
        const auto c = std::get<vv::Connected>(next(client_ch));
        EXPECT_EQ(c.slot, client.number());
        ASSERT_TRUE(c.ok);
    }
    const auto accepted = std::get<vv::Accepted>(next(server_ch));
    EXPECT_EQ(accepted.listener, listener.number());
    EXPECT_EQ(accepted.peer, bound_address(client));
    vv::Slot served = vv::Slot::adopt(accepted.slot);
    {
        vv::Slot moved_from =
            std::move(served);  // destroying the moved-from slot must not close it
        served = std::move(moved_from);
    }

    client.send(vv::as_bytes("hello"));
    const std::span<const std::byte> frames[] = {vv::as_bytes("one"), vv::as_bytes("two")};
    EXPECT_EQ(client.try_send_many(frames), 2u);
    std::vector<std::string> got;
    while (got.size() < 3) {
        ASSERT_TRUE(server_ch.wait(3000ms));
        server_ch.read_many([&](const vv::Event &e) {
            const auto &d = std::get<vv::TcpData>(e);
            EXPECT_EQ(d.slot, served.number());
            EXPECT_EQ(d.peer, bound_address(client));
            got.emplace_back(vv::as_text(d.payload));
            served.send(d.payload);
        });
    }
    EXPECT_EQ(got, (std::vector<std::string>{"hello", "one", "two"}));
    for (const char *want : {"hello", "one", "two"})
        EXPECT_EQ(vv::as_text(std::get<vv::TcpData>(next(client_ch)).payload), want);

    client.close();
    EXPECT_EQ(vv::slot_of(next(server_ch)), served.number());  // Closed
    expect_error([&] { client.close(); }, "vesk_net_close", vv::errc::net_bad_argument);
    EXPECT_EQ(served.send(vv::as_bytes("late")), vv::SendStatus::gone) << "never thrown";
    EXPECT_FALSE(served.notify_sent());
    EXPECT_FALSE(client_ch.wait(10ms));
    EXPECT_EQ(client_ch.read(), std::nullopt);
    vv::Channel gone = std::move(client_ch);
    expect_error([&] { (void)client_ch.wait(10ms); }, "vesk_net_channel_wait",
                 vv::errc::net_wait_gone);
}

TEST(CxxLayer, UdpProbeReplyNamesTheAddressTheOtherSideSaw) {
    vv::Engine engine;
    vv::Channel ch(engine);
    auto answering = vv::Slot::open(vv::SlotType::udp_answer, vv::Address::loopback());
    auto asking = vv::Slot::open(vv::SlotType::udp_quiet, vv::Address::loopback());
    answering.attach(ch);
    asking.attach(ch);
    asking.probe(bound_address(answering));
    const auto reply = std::get<vv::ProbeReply>(next(ch));
    EXPECT_EQ(reply.slot, asking.number());
    EXPECT_EQ(reply.seen, bound_address(asking));

    EXPECT_EQ(asking.send_to(bound_address(answering), vv::as_bytes("datagram")),
              vv::SendStatus::sent);
    const auto d = std::get<vv::UdpData>(next(ch));
    EXPECT_EQ(d.slot, answering.number());
    EXPECT_EQ(d.peer, bound_address(asking));
    EXPECT_EQ(vv::as_text(d.payload), "datagram");
    // No datagram can go to port 0: a status, as for any send, never a throw.
    EXPECT_EQ(asking.send_to(vv::Address::loopback(0), vv::as_bytes("x")), vv::SendStatus::refused);
    const std::unordered_set<vv::Address> seen{d.peer, d.peer,
                                               vv::Address::loopback(d.peer.port + 1)};
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(vv::Address::parse("10.1.2.3:65535"), (vv::Address{{10, 1, 2, 3}, 65535}));
    EXPECT_EQ(vv::Address::parse("10.1.2:80"), std::nullopt);
    EXPECT_EQ(vv::Address::parse("10.1.2.3:65536"), std::nullopt);
}
