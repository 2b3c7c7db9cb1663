// Loopback plumbing for the benchmarks: a listener on 127.0.0.1 with an
// ephemeral port, raw client sockets set up as the library sets up its own,
// and the peer-side threads that stand in for a terminal (one that drains
// everything, one that answers requests). Every thread ends by itself when
// the host side of its connections closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <thread>
#include <vector>

#include "VQ6120_LIB.h"
#include "raw_peer.hpp"
#include "wire.hpp"

namespace vq6120::bench {

// Frames, writes and reads as the tests' loopback peer has them.
using test::Bytes;
using test::frame;
using test::operator+;
using test::read_exactly;
using test::write_all;

// An owned descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept;
    ~Fd();
    int get() const { return fd_; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// The tests' loopback listener, its connections owned and a failed accept
// thrown.
class Listener : public test::Listener {
public:
    static std::uint32_t loopback();  // network byte order, as InitialVQ6120 takes it
    Fd accept();
};

// A client socket made the way the library makes its own: close-on-exec, a
// bounded send stall, and TCP_NODELAY unless `nagle` is asked for.
Fd raw_connect(std::uint16_t port, bool nagle = false);

// A library connection and its accepted peer end.
struct LibraryLink {
    VQ6120_HANDLE host = nullptr;
    Fd peer;
    LibraryLink() = default;
    LibraryLink(LibraryLink &&o) noexcept : host(o.host), peer(std::move(o.peer)) { o.host = nullptr; }
    LibraryLink &operator=(LibraryLink &&) = delete;
    ~LibraryLink() { ExitVQ6120(host); }
};
LibraryLink connect_library(Listener &l);

// A raw client socket and its accepted peer end.
struct RawLink {
    Fd host;
    Fd peer;
};
RawLink connect_raw(Listener &l, bool nagle = false);

// Waits until `n` bytes are readable on `fd` without reading them (up to 2 s).
bool await_readable_bytes(int fd, std::size_t n);

// A thread serving the peer ends of some connections with `loop`. Takes
// ownership of the descriptors; stopping shuts them down, which ends the
// thread even if a host side stays open.
class PeerThread {
public:
    PeerThread(std::vector<Fd> peers, void (*loop)(std::vector<int> fds));
    ~PeerThread();
    PeerThread(const PeerThread &) = delete;
    PeerThread &operator=(const PeerThread &) = delete;
    void stop();

private:
    std::vector<Fd> peers_;
    std::thread thread_;
};

// Reads and discards everything arriving on the given peer descriptors until
// each of them reports end of stream.
class Drain : public PeerThread {
public:
    explicit Drain(std::vector<Fd> peers);
};

// Plays the terminal on the given connections, from one thread so that the
// library and its baseline meet the same peer: answers each digital-input
// request (terminal channel, command 0x0A) with the status "12" and each
// model-name request (command 0x00) with "VQ6120"; every other frame is read
// and ignored.
class Responder : public PeerThread {
public:
    explicit Responder(std::vector<Fd> peers);
};

// The terminal's answers as the responder sends them.
const Bytes &di_status_reply();
const Bytes &model_name_reply();

}  // namespace vq6120::bench
