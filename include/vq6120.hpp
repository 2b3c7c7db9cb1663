// vq6120.hpp: the C++20 face of VQ6120_LIB, header-only over the C interface
// (so the library's ABI stays the C one).
//
//   vq6120::Terminal  one connection: RAII, move-only; the commands as member
//                     functions with the C functions' ranges; received
//                     traffic as typed events.
//   vq6120::Poller    many terminals served from one thread: epoll on Linux,
//                     WSAPoll on Windows. Opens with a time limit without
//                     blocking, reconnects lost terminals with backoff and
//                     jitter, keeps host-alive signals going, finds dead links
//                     by the terminal's auto report or TCP keepalive, and
//                     carries foreign descriptors, timers and posted work.
//
// Exceptions: nothing from the network or the operating system is thrown.
// The only exception these classes raise is std::bad_alloc when memory runs
// out (events carry their payload in std::string/std::vector; the Poller keeps
// maps, a heap and std::function objects). An exception thrown by one of your
// callbacks passes out of Poller::run_once() / run(); the Poller stays
// consistent and usable: the event being delivered is lost, other ready
// sockets report again in the next round, due timers and posted work that
// had not run yet stay queued. The header also builds with exceptions
// switched off (-fno-exceptions); running out of memory then ends the program.
//
// Threads: a Terminal, like its handle, is used from one thread at a time. A
// Poller and everything reached through it belong to the thread that calls
// run_once()/run(); only post(), wake() and stop() may be called from any
// thread.
#pragma once
// The parts, each readable alone:
//   vq6120/endpoint.hpp  Endpoint, native_socket_t, Clock
//   vq6120/events.hpp    Event and its alternatives
//   vq6120/terminal.hpp  Terminal
//   vq6120/reasons.hpp   the reasons a StateChange names
//   vq6120/poller.hpp    Poller, composed of its parts in vq6120/poller/:
//     config.hpp         TerminalConfig, State, StateChange, Backoff
//     backoff.hpp        reconnect delays and when they start over
//     liveness.hpp       auto-report silence and host-alive deadlines
//     send_progress.hpp  the stall rule on the Poller's clock: "not reading"
//     due_heap.hpp       the deadline heap with lazy deletion
//     posted.hpp         work posted from other threads
//   vq6120/detail/       the platform's readiness wait (epoll / WSAPoll),
//                        the stall rule shared with the library
#include "vq6120/endpoint.hpp"
#include "vq6120/events.hpp"
#include "vq6120/terminal.hpp"
#include "vq6120/reasons.hpp"
#include "vq6120/poller.hpp"
