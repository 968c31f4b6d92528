// A bound ticket as the Linux build issues and accepts it: fixed keys, ids
// and clock; the answer of vesk_auth_issue_bound, the first authenticator
// message a client builds from it, and the service's reply.  The session key
// was computed apart from the library (Python's hmac module), so these bytes
// pin the label and the field layout too.  The Windows suite checks its
// build against the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bound_vectors {

// The fixture's keys (make_key(1), make_key(2)).
inline constexpr uint8_t kServiceKey[16] = {32, 39, 46,  53,  60,  67,  74,  81,
                                            88, 95, 102, 109, 116, 123, 130, 137};
inline constexpr uint8_t kClientKey[16] = {63,  70,  77,  84,  91,  98,  105, 112,
                                           119, 126, 133, 140, 147, 154, 161, 168};
inline constexpr uint32_t kClient = 0x01020304u;
inline constexpr uint32_t kService = 77;
inline constexpr uint32_t kIssueTime = 1'700'000'000u;

// HMAC-SHA-256(service key, "vuvidur bound ticket 1" || 04030201 4D000000
// 00F15365 201C0000), first 16 bytes.
inline constexpr char kSessionKey[] = "DFC19D80699DD4E15CCB5911661E8A43";
inline constexpr char kAnswer[] =
    "1A4BF1CF45C3B39B00D25970333CBAD7F47D9556F6E1C8BEE2B6D3401D4BCBAF"
    "EA3850AFC191368DF71F2F78622605162860FBE721BD223E";
inline constexpr char kAuthenticator[] =
    "1A4BF1CF45C3B39B00D25970333CBAD7F47D9556F6E1C8BEE2B6D3401D4BCBAF88EDFB002899AD13";
inline constexpr char kReply[] = "90047CF9BDF0925F";

inline std::vector<uint8_t> bytes(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace bound_vectors
