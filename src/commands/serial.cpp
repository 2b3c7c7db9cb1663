// The terminal's two serial ports, used as pass-through lines. Port 1 is
// channel 0x60 and port 2 channel 0x61.
#include <algorithm>
#include <array>

#include "../transport/frame_codec.hpp"
#include "command.hpp"

using namespace vq6120;
using namespace vq6120::commands;

namespace {

// The line speeds a port takes; the frame carries the position in this table.
constexpr std::array<std::uint32_t, 8> kBaudRates = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

constexpr bool is_port(std::uint8_t port) { return port == 1 || port == 2; }
constexpr std::uint8_t port_channel(std::uint8_t port) { return port == 1 ? channel::kSerial1 : channel::kSerial2; }

}  // namespace

extern "C" {

VQ6120_API int32_t VQ6120_CALL ConfigureCOM(VQ6120_HANDLE handle, uint32_t baudRate, uint8_t optionA,
                                            uint8_t dataBits, uint8_t stopBits, uint8_t optionB, uint8_t optionC,
                                            uint8_t comPort) {
    const auto rate = std::find(kBaudRates.begin(), kBaudRates.end(), baudRate);
    if (rate == kBaudRates.end() || optionA > 3 || dataBits < 7 || dataBits > 8 || stopBits < 1 || stopBits > 2 ||
        optionB > 1 || !is_port(comPort)) {
        return refused(handle);
    }
    const std::uint8_t line[6] = {static_cast<std::uint8_t>(rate - kBaudRates.begin()), optionA, dataBits, stopBits,
                                  optionB, optionC};
    return send_frame(handle, port_channel(comPort), 0x01, 0, line);
}

VQ6120_API int32_t VQ6120_CALL SendCOMData(VQ6120_HANDLE handle, const uint8_t *data, int32_t dataLength,
                                           uint8_t comPort) {
    if (!is_port(comPort) || data == nullptr || dataLength < 1 ||
        static_cast<std::size_t>(dataLength) > kMaxPayloadSize) {
        return refused(handle);
    }
    return send_frame(handle, port_channel(comPort), 0x00, 0, {data, static_cast<std::size_t>(dataLength)});
}

}  // extern "C"
