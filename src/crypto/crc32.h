// CRC-32 (reflected, polynomial 0x04C11DB7, table form 0xEDB88320): the
// checksum of Ethernet, ZIP and PNG.
//
// Two forms of a value appear here.  A checksum is what callers see: 0 before
// the first byte, the complement of the register.  A register is the value the
// byte step works on.  The update functions take and return registers, so
// that pieces chain without complementing twice.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crypto {

// The byte table: entry i is the register after byte i from register 0.
// slice[k][i] is the effect of byte i followed by k zero bytes, for the
// eight-bytes-per-step loop.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;
extern const Crc32Tables kCrc32Tables;

// The definition, one byte per step.  Tests hold every faster path to it.
uint32_t crc32_reference(uint32_t checksum, const uint8_t *data, size_t length);

// Eight bytes per step through the sliced tables; any length, any host.
uint32_t crc32_table_update(uint32_t reg, const uint8_t *data, size_t length);

// Carry-less multiply folding, 64 bytes per step; any length (lengths below
// 64 and the last length % 16 bytes go through the tables).  Call only when
// crc32_clmul_supported() is true.
bool crc32_clmul_supported();
uint32_t crc32_clmul_update(uint32_t reg, const uint8_t *data, size_t length);

// The fastest path this processor has.
uint32_t crc32_checksum(uint32_t checksum, const uint8_t *data, size_t length);

}  // namespace crypto
