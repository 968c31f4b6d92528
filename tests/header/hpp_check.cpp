// Compiled as C++20 under -Wpedantic -Werror (see CMakeLists.txt): the C++
// face alone, with each template instantiated once, must compile without a
// warning with the host compiler and with the Windows cross compiler.
#include "vuvidur.hpp"

#include <memory>
#include <mutex>
#include <optional>

int hpp_check_main();
int hpp_check_main() {
    using namespace vuvidur;
    Mutex mutex;
    std::lock_guard guard(mutex);
    Thread thread([] {});
    MessageQueue<int> queue;
    queue.put(std::make_unique<int>(1));
    List<int> list;
    list.push_back(queue.get());
    TimerService *timers = nullptr;
    Timer timer = timers ? timers->add(std::chrono::seconds(1), [] {}) : Timer();
    const Key key{};
    auto answer = issue_ticket(TicketClient(1, 2).request(), [&](std::uint32_t, std::uint32_t) {
        return std::optional<IssuerKeys>();
    });
    Engine engine;
    Channel channel(engine);
    std::size_t events = channel.read_many([](const Event &e) { (void)slot_of(e); });
    Slot slot;
    SendQueue out;
    if (out.push(as_bytes("x")) && out.flush(slot) == SendStatus::gone) events += out.frames();
    const std::error_code code = errc::net_none;
    std::size_t form =
        cgi::values("a").size() + cgi::files("f").size() + cgi::value("a").has_value();
    return static_cast<int>(events + answer.size() + tea_encrypt(key, as_bytes("x")).size() +
                            form) +
           code.value();
}
