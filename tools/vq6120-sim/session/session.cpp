#include "session/session.hpp"

#include "session/frame_log.hpp"
#include "session/host_reader.hpp"
#include "model/snapshot.hpp"

namespace vq6120::sim {

bool HostLink::receive(std::span<const std::uint8_t> bytes, Terminal &t, Clock::time_point now, std::ostream &log) {
    in.insert(in.end(), bytes.begin(), bytes.end());
    bool keep = true;
    const HostRead read = read_host_frames(in, [&](const FrameCut &cut) {
        const auto payload = cut.payload();
        if (verbose) {
            log << who << describe("<-", cut.header.channel, cut.header.command, cut.header.subcode, payload) << "\n";
        }
        if (watcher != nullptr && watcher->wants(index)) {
            const auto &h = cut.header;
            watcher->frame(index, true, OutFrame{h.channel, h.command, h.subcode, Bytes(payload.begin(), payload.end())},
                           describe("<-", h.channel, h.command, h.subcode, payload));
        }
        std::string problem;
        const auto replies = t.handle(cut.header, payload, now, &problem);
        if (!problem.empty()) {
            log << who << "error: " << problem << "\n";
        }
        for (const auto &r : replies) {
            keep = keep && queue(r, log);
        }
    });
    if (read.out_of_step) {
        // No way to find the next frame boundary in a stream that lied about
        // a length: the connection is dropped, the host reconnects.
        log << who << "error: frame length " << read.bad_length << " below 8, stream out of step\n";
        return false;
    }
    return keep;
}

bool HostLink::queue(const OutFrame &f, std::ostream &log) {
    if (mute) {
        return true;
    }
    if (out.size() > kMaxPendingOutput) {
        return false;
    }
    if (verbose) {
        log << who << describe("->", f.channel, f.command, f.subcode, f.payload) << "\n";
    }
    if (watcher != nullptr && watcher->wants(index)) {
        watcher->frame(index, false, f, describe("->", f.channel, f.command, f.subcode, f.payload));
    }
    const std::size_t at = out.size();
    out.resize(at + kHeaderSize + f.payload.size());
    encode_frame(std::span(out).subspan(at), f.channel, f.command, f.subcode, f.payload);
    return true;
}

void HostLink::clear() noexcept {
    in.clear();
    out.clear();
}

std::vector<OutFrame> operate(const ScriptCommand &c, Terminal &t, bool connected, std::ostream &out,
                              std::ostream &log, std::string_view who) {
    using Kind = ScriptCommand::Kind;
    std::vector<OutFrame> frames;
    switch (c.kind) {
    case Kind::Key:
        log << who << "key " << static_cast<int>(c.key) << "\n";
        frames.push_back(t.key_frame(c.key));
        break;
    case Kind::DigitalInputs:
        t.digital_in = {c.input1, c.input2};
        log << who << "digital inputs " << c.input1 << " " << c.input2 << "\n";
        break;
    case Kind::Serial:
        log << who << "serial " << c.port << " receives " << c.data.size() << " bytes\n";
        if (connected) {
            frames = t.serial_frames(c.port, c.data);
        } else {
            log << who << "no host connected: serial data dropped\n";
        }
        break;
    case Kind::Snapshot: {
        std::string error;
        if (write_snapshot(t, connected, c.path, error)) {
            log << who << "snapshot written to " << c.path << "\n";
        } else {
            log << who << "error: snapshot " << c.path << ": " << error << "\n";
        }
        break;
    }
    case Kind::Dump:
        out << text_dump(t, connected) << std::flush;
        break;
    default:
        break;
    }
    if (!connected && !frames.empty()) {
        log << who << "no host connected: " << command_name(frames[0].channel, frames[0].command, frames[0].subcode)
            << " frame dropped\n";
        frames.clear();
    }
    return frames;
}

}  // namespace vq6120::sim
