// Digital outputs and inputs, beeper, auto report, model name, LED,
// backlight and the host-alive check.
#include "command.hpp"

using namespace vq6120::commands;

namespace {
// Digital I/O values travel as the digit characters '0' and '1'.
constexpr std::uint8_t digit(std::uint8_t value) { return static_cast<std::uint8_t>(0x30 + value); }
}  // namespace

extern "C" {

VQ6120_API int32_t VQ6120_CALL WriteDOStatus(VQ6120_HANDLE handle, uint8_t firstFlag, uint8_t secondFlag) {
    if (!kFlag.admits(firstFlag) || !kFlag.admits(secondFlag)) return refused(handle);
    // The second output's digit goes first on the wire.
    return send_bytes(handle, 0x09, 0, {digit(secondFlag), digit(firstFlag)});
}

VQ6120_API int32_t VQ6120_CALL ReadDIStatus(VQ6120_HANDLE handle) { return send_bytes(handle, 0x0A, 0, {}); }

VQ6120_API int32_t VQ6120_CALL SetBeeperTime(VQ6120_HANDLE handle, uint8_t beeperValue1, uint8_t beeperValue2,
                                             uint8_t beeperValue3) {
    return send_bytes(handle, 0x0B, 0, {beeperValue1, beeperValue2, beeperValue3});
}

VQ6120_API int32_t VQ6120_CALL SetAutoReportTime(VQ6120_HANDLE handle, uint8_t reportTime) {
    return send_bytes(handle, 0x11, 0, {reportTime});
}

VQ6120_API int32_t VQ6120_CALL GetModalName(VQ6120_HANDLE handle) { return send_bytes(handle, 0x00, 0, {}); }

VQ6120_API int32_t VQ6120_CALL SetLED(VQ6120_HANDLE handle, uint8_t ledValue) {
    return send_bytes(handle, 0x0C, 0, {ledValue});
}

VQ6120_API int32_t VQ6120_CALL SetLCDBacklight(VQ6120_HANDLE handle, uint8_t backlightFlag) {
    if (!kFlag.admits(backlightFlag)) return refused(handle);
    return send_bytes(handle, 0x0D, 0, {backlightFlag});
}

VQ6120_API int32_t VQ6120_CALL SetHostAliveCheck(VQ6120_HANDLE handle, uint8_t aliveCheckValue) {
    return send_bytes(handle, 0x12, 0, {aliveCheckValue});
}

VQ6120_API int32_t VQ6120_CALL SendHostAlive(VQ6120_HANDLE handle) { return send_bytes(handle, 0x12, 1, {}); }

}  // extern "C"
