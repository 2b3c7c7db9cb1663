#include "receive_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace vq6120 {

std::span<std::uint8_t> ReceiveBuffer::free_space() noexcept {
    if (begin_ != 0) {
        std::memmove(data_.data(), data_.data() + begin_, count_);
        begin_ = 0;
    }
    return {data_.data() + count_, kCapacity - count_};
}

void ReceiveBuffer::commit(std::size_t n) noexcept { count_ += std::min(n, kCapacity - begin_ - count_); }

void ReceiveBuffer::consume(std::size_t n) noexcept {
    n = std::min(n, count_);
    begin_ += n;
    count_ -= n;
    if (count_ == 0) {
        begin_ = 0;
    }
}

void ReceiveBuffer::erase(std::size_t offset, std::size_t n) noexcept {
    if (offset >= count_) {
        return;
    }
    n = std::min(n, count_ - offset);
    std::uint8_t *at = data_.data() + begin_ + offset;
    std::memmove(at, at + n, count_ - offset - n);
    count_ -= n;
    if (count_ == 0) {
        begin_ = 0;
    }
}

std::int32_t classify(const FrameHeader &header, std::int32_t current) noexcept {
    switch (header.channel) {
    case channel::kTerminal:
        switch (header.command) {
        case 0x00: return recv::kModelName;
        case 0x0A: return recv::kDiStatus;
        case 0x10: return recv::kFrame10;
        case 0x11: return recv::kConsumed;
        case 0x37: return recv::kFrame37;
        default: return current;
        }
    case channel::kSerial1:
        return header.command == 0x00 && header.subcode == 0x00 ? recv::kSerial1 : current;
    case channel::kSerial2:
        return header.command == 0x00 ? recv::kSerial2 : current;
    default:
        return recv::kClosed;
    }
}

WalkOutcome walk_frames(ReceiveBuffer &buffer, std::uint8_t *out, std::int32_t capacity) noexcept {
    WalkOutcome outcome;
    if (buffer.size() == 0) {
        outcome.length_set = true;
        return outcome;
    }
    for (;;) {
        const FrameCut cut = buffer.front();
        if (cut.status == CutStatus::Incomplete) {
            break;
        }
        if (cut.status == CutStatus::OutOfStep) {
            // Nothing after a bad length field can be trusted to start a frame.
            buffer.clear();
            outcome.length_set = true;
            outcome.payload_length = 0;
            break;
        }
        outcome.result = classify(cut.header, outcome.result);
        // Consuming only moves the start: the payload stays readable below.
        buffer.consume(cut.frame.size());
        outcome.length_set = true;
        outcome.payload_length = 0;
        if (outcome.result >= recv::kFirstDelivering) {
            const auto payload = cut.payload();
            const std::size_t room = (out != nullptr && capacity > 0) ? static_cast<std::size_t>(capacity) : 0;
            const std::size_t n = std::min(payload.size(), room);
            if (n != 0) {
                std::memcpy(out, payload.data(), n);
            }
            outcome.payload_length = static_cast<std::int32_t>(n);
            break;
        }
        if (buffer.size() == 0) {
            break;
        }
    }
    return outcome;
}

ModelReply take_model_reply(ReceiveBuffer &buffer) noexcept {
    static constexpr char kModel[] = "VQ6120";
    std::size_t offset = 0;
    for (;;) {
        const FrameCut cut = cut_frame(buffer.bytes().subspan(offset), ReceiveBuffer::kCapacity);
        if (cut.status == CutStatus::Incomplete) {
            return ModelReply::NotFound;
        }
        if (cut.status == CutStatus::OutOfStep) {
            buffer.clear();
            return ModelReply::NotFound;
        }
        if (cut.header.channel == channel::kTerminal && cut.header.command == 0x00) {
            const auto payload = cut.payload();
            bool match = payload.size() >= sizeof kModel - 1;
            for (std::size_t i = 0; match && i < sizeof kModel - 1; ++i) {
                match = payload[i] == static_cast<std::uint8_t>(kModel[i]);
            }
            buffer.erase(offset, cut.frame.size());
            return match ? ModelReply::Match : ModelReply::Mismatch;
        }
        offset += cut.frame.size();
    }
}

std::int32_t parse_di_status(std::int32_t valid, const std::uint8_t *payload, std::int32_t length,
                             std::uint8_t *first, std::uint8_t *second) noexcept {
    if (valid == 0 || length != 2 || payload == nullptr || first == nullptr || second == nullptr) {
        return -1;
    }
    const auto d0 = static_cast<std::uint8_t>(payload[0] - 0x30);
    const auto d1 = static_cast<std::uint8_t>(payload[1] - 0x30);
    *first = static_cast<std::uint8_t>(d1 & 1);
    *second = static_cast<std::uint8_t>(d1 & 2);
    return d0;
}

std::int32_t parse_keypad(std::int32_t valid, const std::uint8_t *payload, std::int32_t length) noexcept {
    if (valid == 0 || length != 1 || payload == nullptr) {
        return 0;
    }
    return payload[0];
}

}  // namespace vq6120
