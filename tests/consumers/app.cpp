// The C++ side of the consumer programs: the same header, used from C++.
#include <vuvidur.h>

#include <cstring>
#include <iostream>
#include <string>

int main() {
    vesk_msgq queue;
    vesk_msgq_create(&queue);
    std::string item = "queued";
    if (vesk_msgq_put(&queue, &item) != VESK_MSGQ_OK) return 1;
    auto *taken = static_cast<std::string *>(vesk_msgq_tryget(&queue));
    vesk_msgq_destroy(&queue);

    char hex[2 * 3 + 1];
    const uint8_t bytes[3] = {0xDE, 0xAD, 0x01};
    vesk_hex_encode(bytes, 3, hex);
    std::cout << "vuvidur " << vesk_version() << " from C++: " << *taken << ", " << hex << "\n";
    return taken == &item && std::strcmp(hex, "DEAD01") == 0 &&
                   std::string(vesk_version()) == VESK_VERSION_STRING
               ? 0
               : 1;
}
