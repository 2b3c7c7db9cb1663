// Every terminal command against the exact bytes on the wire, through a real
// loopback peer. A refused call is followed by a known frame, and the peer's
// next bytes must be exactly that frame: the refused call sent nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "test_peer.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::TestPeer;

using Call = std::function<std::int32_t(VQ6120_HANDLE)>;

struct Case {
    std::string what;
    Call call;
    Bytes wire;  // empty: the call is refused
};

const Bytes kAlive = {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x01};

// Frame on the terminal channel, written out independently of the library.
Bytes terminal(std::uint8_t command, std::uint8_t subcode, const Bytes &payload) {
    return test::frame(0x40, command, subcode, payload);
}
Bytes be(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    return out;
}
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::string text_of(std::size_t n) {
    std::string s(n, 'x');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('A' + i % 26);
    }
    return s;
}
Bytes bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

class Commands : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() {
        peer_ = new TestPeer;
        handle_ = peer_->connect();
    }
    static void TearDownTestSuite() {
        ExitVQ6120(handle_);
        delete peer_;
    }
    static TestPeer *peer_;
    static VQ6120_HANDLE handle_;
};
TestPeer *Commands::peer_ = nullptr;
VQ6120_HANDLE Commands::handle_ = nullptr;

TEST_P(Commands, SendsExactlyItsFrameOrNothing) {
    const Case &c = GetParam();
    const std::int32_t result = c.call(handle_);
    if (c.wire.empty()) {
        EXPECT_EQ(result, 0);
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(peer_->next(c.wire.size()), c.wire);
    }
    ASSERT_EQ(SendHostAlive(handle_), 1);
    EXPECT_EQ(peer_->next(kAlive.size()), kAlive) << "bytes sent besides the command's own frame";
}

TEST_P(Commands, NullHandleIsRefused) {
    EXPECT_EQ(GetParam().call(nullptr), 0);
    ASSERT_EQ(SendHostAlive(handle_), 1);
    EXPECT_EQ(peer_->next(kAlive.size()), kAlive);
}

std::vector<Case> graphic_cases() {
    std::vector<Case> cases = {
        {"clear graphic", [](auto h) { return ClearGraphicScreen(h); }, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00}},
        {"pixel 10 5", [](auto h) { return DrawPixel(h, 10, 5); },
         {0x0C, 0x00, 0x40, 0x00, 0x00, 0x00, 0x43, 0x00, 0x00, 0x0A, 0x00, 0x05}},
        {"line corner to corner", [](auto h) { return DrawLine(h, 0, 0, 239, 63); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEF, 0x00, 0x3F}},
        {"rectangle mode 1", [](auto h) { return DrawRectangle(h, 10, 5, 100, 40, 1); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x0A, 0x00, 0x05, 0x00, 0x64, 0x00, 0x28}},
        {"rectangle mode 0", [](auto h) { return DrawRectangle(h, 10, 5, 100, 40, 0); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x0A, 0x00, 0x05, 0x00, 0x64, 0x00, 0x28}},
        {"rectangle corners kept as given", [](auto h) { return DrawRectangle(h, 100, 40, 10, 5, 0); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x64, 0x00, 0x28, 0x00, 0x0A, 0x00, 0x05}},
        {"circle mode 1", [](auto h) { return DrawCircle(h, 120, 32, 10, 1); },
         {0x0E, 0x00, 0x40, 0x00, 0x00, 0x00, 0x4D, 0x00, 0x00, 0x78, 0x00, 0x20, 0x00, 0x0A}},
        {"circle mode 0", [](auto h) { return DrawCircle(h, 120, 32, 10, 0); },
         {0x0E, 0x00, 0x40, 0x00, 0x00, 0x00, 0x49, 0x00, 0x00, 0x78, 0x00, 0x20, 0x00, 0x0A}},
        {"circle not checked to fit", [](auto h) { return DrawCircle(h, 0, 0, 32, 0); },
         {0x0E, 0x00, 0x40, 0x00, 0x00, 0x00, 0x49, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20}},
        {"ellipse mode 0", [](auto h) { return DrawEllipse(h, 120, 32, 32, 16, 0); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x4A, 0x00, 0x00, 0x78, 0x00, 0x20, 0x00, 0x20, 0x00, 0x10}},
        {"ellipse mode 1", [](auto h) { return DrawEllipse(h, 120, 32, 32, 16, 1); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x4E, 0x00, 0x00, 0x78, 0x00, 0x20, 0x00, 0x20, 0x00, 0x10}},
        {"rhombus", [](auto h) { return DrawRhombus(h, 60, 30, 8, 12); },
         {0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x4B, 0x00, 0x00, 0x3C, 0x00, 0x1E, 0x00, 0x08, 0x00, 0x0C}},
        {"text abc", [](auto h) { return DrawAText(h, 0, 8, "abc", 3); },
         {0x0F, 0x00, 0x40, 0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08, 0x61, 0x62, 0x63}},
        {"text with a zero byte", [](auto h) { return DrawAText(h, 1, 2, "a\0b", 3); },
         {0x0F, 0x00, 0x40, 0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x01, 0x00, 0x02, 0x61, 0x00, 0x62}},
        {"text null", [](auto h) { return DrawAText(h, 0, 0, nullptr, 3); }, {}},
    };
    for (std::uint8_t mode : {2, 255}) {
        cases.push_back({"rectangle mode " + std::to_string(mode), [mode](auto h) { return DrawRectangle(h, 1, 1, 2, 2, mode); }, {}});
        cases.push_back({"circle mode " + std::to_string(mode), [mode](auto h) { return DrawCircle(h, 1, 1, 2, mode); }, {}});
        cases.push_back({"ellipse mode " + std::to_string(mode), [mode](auto h) { return DrawEllipse(h, 1, 1, 2, 2, mode); }, {}});
    }
    // Each coordinate and size on its own, at and beyond its bounds.
    struct Bound {
        int value;
        bool ok;
    };
    const Bound xs[] = {{0, true}, {239, true}, {240, false}, {-1, false}, {-32768, false}, {32767, false}};
    const Bound ys[] = {{0, true}, {63, true}, {64, false}, {-1, false}};
    const Bound sizes[] = {{0, true}, {32, true}, {33, false}, {-1, false}};
    for (const Bound &b : xs) {
        const auto v = static_cast<std::int16_t>(b.value);
        const std::string n = std::to_string(b.value);
        cases.push_back({"pixel x " + n, [v](auto h) { return DrawPixel(h, v, 7); }, b.ok ? terminal(0x43, 0, be({b.value, 7})) : Bytes{}});
        cases.push_back({"line x1 " + n, [v](auto h) { return DrawLine(h, v, 1, 2, 3); }, b.ok ? terminal(0x47, 0, be({b.value, 1, 2, 3})) : Bytes{}});
        cases.push_back({"line x2 " + n, [v](auto h) { return DrawLine(h, 4, 1, v, 3); }, b.ok ? terminal(0x47, 0, be({4, 1, b.value, 3})) : Bytes{}});
        cases.push_back({"rectangle x2 " + n, [v](auto h) { return DrawRectangle(h, 4, 1, v, 3, 1); }, b.ok ? terminal(0x4C, 0, be({4, 1, b.value, 3})) : Bytes{}});
        cases.push_back({"circle x " + n, [v](auto h) { return DrawCircle(h, v, 1, 2, 0); }, b.ok ? terminal(0x49, 0, be({b.value, 1, 2})) : Bytes{}});
        cases.push_back({"ellipse x " + n, [v](auto h) { return DrawEllipse(h, v, 1, 2, 3, 1); }, b.ok ? terminal(0x4E, 0, be({b.value, 1, 2, 3})) : Bytes{}});
        cases.push_back({"rhombus x " + n, [v](auto h) { return DrawRhombus(h, v, 1, 2, 3); }, b.ok ? terminal(0x4B, 0, be({b.value, 1, 2, 3})) : Bytes{}});
        cases.push_back({"text x " + n, [v](auto h) { return DrawAText(h, v, 1, "Q", 1); }, b.ok ? terminal(0x50, 0, cat(be({b.value, 1}), {'Q'})) : Bytes{}});
        cases.push_back({"cursor x " + n, [v](auto h) { return SetScreenCursorPos(h, v, 1); }, b.ok ? terminal(0x65, 0, be({b.value, 1})) : Bytes{}});
    }
    for (const Bound &b : ys) {
        const auto v = static_cast<std::int16_t>(b.value);
        const std::string n = std::to_string(b.value);
        cases.push_back({"pixel y " + n, [v](auto h) { return DrawPixel(h, 7, v); }, b.ok ? terminal(0x43, 0, be({7, b.value})) : Bytes{}});
        cases.push_back({"line y1 " + n, [v](auto h) { return DrawLine(h, 1, v, 2, 3); }, b.ok ? terminal(0x47, 0, be({1, b.value, 2, 3})) : Bytes{}});
        cases.push_back({"line y2 " + n, [v](auto h) { return DrawLine(h, 1, 4, 2, v); }, b.ok ? terminal(0x47, 0, be({1, 4, 2, b.value})) : Bytes{}});
        cases.push_back({"rectangle y1 " + n, [v](auto h) { return DrawRectangle(h, 1, v, 2, 3, 0); }, b.ok ? terminal(0x48, 0, be({1, b.value, 2, 3})) : Bytes{}});
        cases.push_back({"circle y " + n, [v](auto h) { return DrawCircle(h, 1, v, 2, 1); }, b.ok ? terminal(0x4D, 0, be({1, b.value, 2})) : Bytes{}});
        cases.push_back({"ellipse y " + n, [v](auto h) { return DrawEllipse(h, 1, v, 2, 3, 0); }, b.ok ? terminal(0x4A, 0, be({1, b.value, 2, 3})) : Bytes{}});
        cases.push_back({"rhombus y " + n, [v](auto h) { return DrawRhombus(h, 1, v, 2, 3); }, b.ok ? terminal(0x4B, 0, be({1, b.value, 2, 3})) : Bytes{}});
        cases.push_back({"text y " + n, [v](auto h) { return DrawAText(h, 1, v, "Q", 1); }, b.ok ? terminal(0x50, 0, cat(be({1, b.value}), {'Q'})) : Bytes{}});
        cases.push_back({"cursor y " + n, [v](auto h) { return SetScreenCursorPos(h, 1, v); }, b.ok ? terminal(0x65, 0, be({1, b.value})) : Bytes{}});
    }
    for (const Bound &b : sizes) {
        const auto v = static_cast<std::int16_t>(b.value);
        const std::string n = std::to_string(b.value);
        cases.push_back({"circle size " + n, [v](auto h) { return DrawCircle(h, 5, 6, v, 0); }, b.ok ? terminal(0x49, 0, be({5, 6, b.value})) : Bytes{}});
        cases.push_back({"ellipse a " + n, [v](auto h) { return DrawEllipse(h, 5, 6, v, 3, 0); }, b.ok ? terminal(0x4A, 0, be({5, 6, b.value, 3})) : Bytes{}});
        cases.push_back({"ellipse b " + n, [v](auto h) { return DrawEllipse(h, 5, 6, 3, v, 1); }, b.ok ? terminal(0x4E, 0, be({5, 6, 3, b.value})) : Bytes{}});
        cases.push_back({"rhombus a " + n, [v](auto h) { return DrawRhombus(h, 5, 6, v, 3); }, b.ok ? terminal(0x4B, 0, be({5, 6, b.value, 3})) : Bytes{}});
        cases.push_back({"rhombus b " + n, [v](auto h) { return DrawRhombus(h, 5, 6, 3, v); }, b.ok ? terminal(0x4B, 0, be({5, 6, 3, b.value})) : Bytes{}});
    }
    return cases;
}

std::vector<Case> text_cases() {
    std::vector<Case> cases = {
        {"clear text", [](auto h) { return ClearText(h); }, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x60, 0x00}},
        {"clear keyboard", [](auto h) { return ClearKeyboard(h); }, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x30, 0x00}},
        {"cursor 16 8", [](auto h) { return SetScreenCursorPos(h, 16, 8); },
         {0x0C, 0x00, 0x40, 0x00, 0x00, 0x00, 0x65, 0x00, 0x00, 0x10, 0x00, 0x08}},
        {"write Hi flag 1", [](auto h) { return WriteText(h, "Hi", 2, 1); },
         {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x61, 0x01, 0x48, 0x69}},
        {"keyboard OK flag 0", [](auto h) { return WriteKeyboardText(h, "OK", 2, 0); },
         {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x62, 0x00, 0x4F, 0x4B}},
        {"write with a zero byte", [](auto h) { return WriteText(h, "a\0b", 3, 0); },
         {0x0B, 0x00, 0x40, 0x00, 0x00, 0x00, 0x61, 0x00, 0x61, 0x00, 0x62}},
        {"scroll 0", [](auto h) { return ScrolloneLine(h, 0); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x67, 0x00, 0xFF}},
        {"scroll 1", [](auto h) { return ScrolloneLine(h, 1); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x67, 0x00, 0x01}},
        {"scroll 2", [](auto h) { return ScrolloneLine(h, 2); }, {}},
        {"scroll keyboard 0", [](auto h) { return ScrollKeyboardoneLine(h, 0); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x68, 0x00, 0xFF}},
        {"scroll keyboard 1", [](auto h) { return ScrollKeyboardoneLine(h, 1); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x68, 0x00, 0x01}},
        {"scroll keyboard 255", [](auto h) { return ScrollKeyboardoneLine(h, 255); }, {}},
        {"write flag 2", [](auto h) { return WriteText(h, "x", 1, 2); }, {}},
        {"keyboard flag 2", [](auto h) { return WriteKeyboardText(h, "x", 1, 2); }, {}},
        {"write null", [](auto h) { return WriteText(h, nullptr, 1, 0); }, {}},
        {"keyboard null", [](auto h) { return WriteKeyboardText(h, nullptr, 1, 0); }, {}},
        {"write null and no length", [](auto h) { return WriteText(h, nullptr, 0, 0); }, {}},
    };
    // Text run lengths, for all three text commands.
    for (const int length : {1, 240, 241, 0, -1, -2147483647 - 1}) {
        const bool ok = length >= 1 && length <= 240;
        const std::string run = text_of(ok ? static_cast<std::size_t>(length) : 300);
        const std::string n = std::to_string(length);
        cases.push_back({"draw text length " + n, [run, length](auto h) { return DrawAText(h, 239, 63, run.data(), length); },
                         ok ? terminal(0x50, 0, cat(be({239, 63}), bytes_of(run))) : Bytes{}});
        cases.push_back({"write length " + n, [run, length](auto h) { return WriteText(h, run.data(), length, 0); },
                         ok ? terminal(0x61, 0, bytes_of(run)) : Bytes{}});
        cases.push_back({"keyboard length " + n, [run, length](auto h) { return WriteKeyboardText(h, run.data(), length, 1); },
                         ok ? terminal(0x62, 1, bytes_of(run)) : Bytes{}});
    }
    return cases;
}

std::vector<Case> io_cases() {
    return {
        {"outputs 1 0", [](auto h) { return WriteDOStatus(h, 1, 0); }, {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x09, 0x00, 0x30, 0x31}},
        {"outputs 0 1", [](auto h) { return WriteDOStatus(h, 0, 1); }, {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x09, 0x00, 0x31, 0x30}},
        {"outputs 1 1", [](auto h) { return WriteDOStatus(h, 1, 1); }, {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x09, 0x00, 0x31, 0x31}},
        {"outputs 0 0", [](auto h) { return WriteDOStatus(h, 0, 0); }, {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x09, 0x00, 0x30, 0x30}},
        {"outputs 2 0", [](auto h) { return WriteDOStatus(h, 2, 0); }, {}},
        {"outputs 0 2", [](auto h) { return WriteDOStatus(h, 0, 2); }, {}},
        {"read inputs", [](auto h) { return ReadDIStatus(h); }, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}},
        {"beeper", [](auto h) { return SetBeeperTime(h, 0xFF, 0x00, 0x80); }, {0x0B, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0B, 0x00, 0xFF, 0x00, 0x80}},
        {"report 10", [](auto h) { return SetAutoReportTime(h, 10); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x11, 0x00, 0x0A}},
        {"report 0", [](auto h) { return SetAutoReportTime(h, 0); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00}},
        {"report 255", [](auto h) { return SetAutoReportTime(h, 255); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x11, 0x00, 0xFF}},
        {"model name", [](auto h) { return GetModalName(h); }, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"led 255", [](auto h) { return SetLED(h, 255); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0C, 0x00, 0xFF}},
        {"led 0", [](auto h) { return SetLED(h, 0); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00}},
        {"backlight 1", [](auto h) { return SetLCDBacklight(h, 1); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x01}},
        {"backlight 0", [](auto h) { return SetLCDBacklight(h, 0); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00}},
        {"backlight 2", [](auto h) { return SetLCDBacklight(h, 2); }, {}},
        {"alive check 5", [](auto h) { return SetHostAliveCheck(h, 5); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x00, 0x05}},
        {"alive check 0", [](auto h) { return SetHostAliveCheck(h, 0); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00}},
        {"alive check 255", [](auto h) { return SetHostAliveCheck(h, 255); }, {0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x00, 0xFF}},
        {"alive", [](auto h) { return SendHostAlive(h); }, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x01}},
    };
}

std::vector<Case> serial_cases() {
    std::vector<Case> cases = {
        {"configure 9600 8N1 port 1", [](auto h) { return ConfigureCOM(h, 9600, 0, 8, 1, 0, 0, 1); },
         {0x0E, 0x00, 0x60, 0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x01, 0x00, 0x00}},
        {"configure 115200 port 2", [](auto h) { return ConfigureCOM(h, 115200, 3, 7, 2, 1, 255, 2); },
         {0x0E, 0x00, 0x61, 0x00, 0x00, 0x00, 0x01, 0x00, 0x07, 0x03, 0x07, 0x02, 0x01, 0xFF}},
        {"configure data bits 6", [](auto h) { return ConfigureCOM(h, 9600, 0, 6, 1, 0, 0, 1); }, {}},
        {"configure data bits 9", [](auto h) { return ConfigureCOM(h, 9600, 0, 9, 1, 0, 0, 1); }, {}},
        {"configure stop bits 0", [](auto h) { return ConfigureCOM(h, 9600, 0, 8, 0, 0, 0, 1); }, {}},
        {"configure stop bits 3", [](auto h) { return ConfigureCOM(h, 9600, 0, 8, 3, 0, 0, 1); }, {}},
        {"configure option A 4", [](auto h) { return ConfigureCOM(h, 9600, 4, 8, 1, 0, 0, 1); }, {}},
        {"configure option B 2", [](auto h) { return ConfigureCOM(h, 9600, 0, 8, 1, 2, 0, 1); }, {}},
        {"configure port 0", [](auto h) { return ConfigureCOM(h, 9600, 0, 8, 1, 0, 0, 0); }, {}},
        {"configure port 3", [](auto h) { return ConfigureCOM(h, 9600, 0, 8, 1, 0, 0, 3); }, {}},
        {"data AB port 2", [](auto h) { return SendCOMData(h, Bytes{0x41, 0x42}.data(), 2, 2); },
         {0x0A, 0x00, 0x61, 0x00, 0x00, 0x00, 0x00, 0x00, 0x41, 0x42}},
        {"data AB port 1", [](auto h) { return SendCOMData(h, Bytes{0x41, 0x42}.data(), 2, 1); },
         {0x0A, 0x00, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x41, 0x42}},
        {"data one byte", [](auto h) { return SendCOMData(h, Bytes{0x00}.data(), 1, 1); },
         {0x09, 0x00, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"data length 0", [](auto h) { return SendCOMData(h, Bytes{0x41}.data(), 0, 1); }, {}},
        {"data length -1", [](auto h) { return SendCOMData(h, Bytes{0x41}.data(), -1, 1); }, {}},
        {"data port 0", [](auto h) { return SendCOMData(h, Bytes{0x41}.data(), 1, 0); }, {}},
        {"data port 3", [](auto h) { return SendCOMData(h, Bytes{0x41}.data(), 1, 3); }, {}},
        {"data null", [](auto h) { return SendCOMData(h, nullptr, 5, 1); }, {}},
    };
    // Every rate and its neighbours; the index is the rate's place in the table.
    const std::uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (std::uint8_t index = 0; index < 8; ++index) {
        const std::uint32_t rate = rates[index];
        for (const std::uint32_t r : {rate - 1, rate, rate + 1, rate + 65536}) {
            cases.push_back({"rate " + std::to_string(r), [r](auto h) { return ConfigureCOM(h, r, 1, 8, 1, 0, 9, 2); },
                             r == rate ? test::frame(0x61, 0x01, 0, {index, 1, 8, 1, 0, 9}) : Bytes{}});
        }
    }
    for (const std::uint32_t r : {0u, 300u, 14400u, 0xFFFFFFFFu}) {
        cases.push_back({"rate " + std::to_string(r), [r](auto h) { return ConfigureCOM(h, r, 0, 8, 1, 0, 0, 1); }, {}});
    }
    for (const int option_c : {0, 128, 255}) {
        const auto c = static_cast<std::uint8_t>(option_c);
        cases.push_back({"option C " + std::to_string(option_c), [c](auto h) { return ConfigureCOM(h, 4800, 2, 7, 2, 1, c, 1); },
                         test::frame(0x60, 0x01, 0, {2, 2, 7, 2, 1, c})});
    }
    // Data lengths around the old 256-byte buffer and up to the frame limit.
    for (const int length : {256, 257, 1000, 65527}) {
        Bytes data(static_cast<std::size_t>(length));
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
        cases.push_back({"data length " + std::to_string(length),
                         [data, length](auto h) { return SendCOMData(h, data.data(), length, 2); },
                         test::frame(0x61, 0x00, 0, data)});
    }
    cases.push_back({"data length 65528", [](auto h) {
                         Bytes data(65528);
                         return SendCOMData(h, data.data(), 65528, 1);
                     }, {}});
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    std::string name = info.param.what;
    for (char &ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Graphic, Commands, ::testing::ValuesIn(graphic_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Text, Commands, ::testing::ValuesIn(text_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(InputOutput, Commands, ::testing::ValuesIn(io_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Serial, Commands, ::testing::ValuesIn(serial_cases()), case_name);

// Every command of the table in one write batch: the same results, and on the
// wire exactly the bytes they send one by one, in order. A connect opened
// without blocking refuses them all until it is through.
TEST(Batch, CarriesEveryCommandAsSentOneByOne) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    Bytes expected;
    ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
    EXPECT_EQ(VQ6120Ex_BeginBatch(h), 0) << "batches do not nest";
    for (const auto &cases : {graphic_cases(), text_cases(), io_cases(), serial_cases()}) {
        for (const Case &c : cases) {
            EXPECT_EQ(c.call(h), c.wire.empty() ? 0 : 1) << c.what;
            expected = cat(expected, c.wire);
        }
    }
    EXPECT_TRUE(peer.take_all(std::chrono::milliseconds(20)).empty()) << "a batched frame went out early";
    ASSERT_EQ(VQ6120Ex_EndBatch(h), 1);
    EXPECT_EQ(VQ6120Ex_EndBatch(h), 0) << "no batch open";
    EXPECT_EQ(peer.next(expected.size()), expected);
    ASSERT_EQ(SendHostAlive(h), 1);
    EXPECT_EQ(peer.next(kAlive.size()), kAlive) << "sent at once again after the batch";
    ExitVQ6120(h);
}

TEST(Batch, ConnectNotThroughRefusesEveryCommand) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect(VQ6120Ex_StartOpen);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(VQ6120Ex_BeginBatch(h), 0);
    for (const auto &cases : {graphic_cases(), text_cases(), io_cases(), serial_cases()}) {
        for (const Case &c : cases) {
            EXPECT_EQ(c.call(h), 0) << c.what;
        }
    }
    ASSERT_EQ(VQ6120Ex_FinishOpen(h, 5000), 1);
    ASSERT_EQ(SendHostAlive(h), 1);
    EXPECT_EQ(peer.next(kAlive.size() + 1, std::chrono::milliseconds(200)), kAlive) << "refused calls sent bytes";
    ExitVQ6120(h);
}

}  // namespace
}  // namespace vq6120
