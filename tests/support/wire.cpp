#include "wire.hpp"

#include <algorithm>

namespace vq6120::test {

Bytes frame(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode, std::span<const std::uint8_t> payload) {
    const std::size_t length = 8 + payload.size();
    Bytes f(length, 0);
    f[0] = static_cast<std::uint8_t>(length & 0xFF);
    f[1] = static_cast<std::uint8_t>(length >> 8);
    f[2] = channel;
    f[6] = command;
    f[7] = subcode;
    std::copy(payload.begin(), payload.end(), f.begin() + 8);
    return f;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace vq6120::test
