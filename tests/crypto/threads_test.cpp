// The pure functions from several threads at once: the CRC path is chosen
// on first use and then shared, and the envelope's filler comes from the
// process-wide rand().  Under the thread sanitizer this catches a racy choice.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "crypto/crc32.h"
#include "vuvidur.h"

TEST(CryptoThreads, ChecksumsAndEnvelopesFromFourThreadsAgreeWithTheDefinition) {
    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    // The definition does not touch the shared path choice: the threads below
    // are the first to make it.
    const uint32_t want = crypto::crc32_reference(0, data.data(), data.size());
    const uint8_t key[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            std::vector<uint8_t> sealed(VESK_ENVELOPE_SIZE(data.size())), opened(data.size());
            for (int round = 0; round < 50; ++round) {
                if (vesk_crc32(0, data.data(), static_cast<int>(data.size())) != want) ++failures;
                int len = 0, cap = static_cast<int>(opened.size());
                vesk_envelope_encrypt(key, data.data(), static_cast<int>(data.size()),
                                      sealed.data(), &len);
                if (vesk_envelope_decrypt(key, sealed.data(), len, opened.data(), &cap) != 0 ||
                    opened != data) {
                    ++failures;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}
