// The two payload decoders through the exported functions, with arbitrary
// validity flags, lengths (negative, wrong, right), null pointers and bytes.
//
// Input: byte 0 selects `valid` and which pointers are null, byte 1 is the
// length as a signed byte, the rest is the payload, handed over in a heap
// block of exactly its size (so a read past it is caught). A length larger
// than the payload is lowered to it: the caller owns that contract.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "VQ6120_LIB.h"

#define FUZZ_HARNESS "payload parsers"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    const std::int32_t valid = (flags & 0x03) == 0 ? 0 : (flags & 0x03) == 1 ? 1 : (flags & 0x03) == 2 ? -7 : 0x10000;
    const bool null_payload = (flags & 0x04) != 0;
    const bool null_first = (flags & 0x08) != 0;
    const bool null_second = (flags & 0x10) != 0;
    std::int32_t length = static_cast<std::int8_t>(data[1]);
    if ((flags & 0x20) != 0) length = length < 0 ? INT32_MIN : INT32_MAX;
    const std::size_t payload_size = size - 2;
    if (length > 0 && std::size_t(length) > payload_size) length = static_cast<std::int32_t>(payload_size);

    std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[payload_size]);
    if (payload_size != 0) std::memcpy(payload.get(), data + 2, payload_size);
    const std::uint8_t *p = null_payload ? nullptr : payload.get();

    // Digital inputs: two ASCII digits. Written out from the contract.
    std::uint8_t first = 0xEE, second = 0xEE;
    const std::int32_t di =
        ParseDIStatus(valid, p, length, null_first ? nullptr : &first, null_second ? nullptr : &second);
    if (valid != 0 && length == 2 && p != nullptr && !null_first && !null_second) {
        const int d0 = (payload[0] + 256 - '0') % 256;
        const int d1 = (payload[1] + 256 - '0') % 256;
        CHECK(di == d0);
        CHECK(first == (d1 % 2));
        CHECK(second == (d1 / 2 % 2) * 2);
    } else {
        CHECK(di == -1);
        CHECK(first == 0xEE && second == 0xEE);
    }

    // Keys: one byte.
    const std::int32_t key = ParseKeypadMessage(valid, p, length);
    if (valid != 0 && length == 1 && p != nullptr) {
        CHECK(key == payload[0]);
    } else {
        CHECK(key == 0);
    }
    return 0;
}
