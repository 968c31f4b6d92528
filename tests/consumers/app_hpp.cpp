// A program written with the C++ face, built against the installed
// vuvidur.hpp with -std=c++20: owners, byte helpers and the error type.
#include <vuvidur.hpp>

#include <iostream>
#include <mutex>
#include <string>

int main() {
    namespace vv = vuvidur;
    vv::MessageQueue<std::string> queue;
    vv::Mutex mutex;
    vv::Thread producer([&] {
        std::lock_guard<vv::Mutex> hold(mutex);
        queue.put(std::make_unique<std::string>("queued"));
    });
    const auto item = queue.get();
    producer.join();

    const vv::Envelope envelope(vv::key_from_hex("000102030405060708090A0B0C0D0E0F"));
    const auto opened = envelope.open(envelope.seal(vv::as_bytes(*item)));
    bool refused = false;
    try {
        vv::hex_decode("odd");
    } catch (const vv::error &e) {
        refused = e.code() == vv::errc::invalid_argument;
    }
    std::cout << "vuvidur " << vv::library_version() << " from C++20: " << vv::as_text(opened)
              << ", " << vv::hex_encode(vv::as_bytes("\xDE\xAD\x01")) << "\n";
    return vv::as_text(opened) == "queued" && refused &&
                   vv::crc32(vv::as_bytes("123456789")) == 0xCBF43926u
               ? 0
               : 1;
}
