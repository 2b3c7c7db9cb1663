// The plant-scale measurements: many terminals on one host thread, opening
// many terminals some of which never answer, and batched redraws. Each runs
// its baseline in the same run and prints the ratio.
#pragma once

#include <cstdint>
#include <string>

#include "VQ6120_LIB.h"

namespace vq6120::bench {

struct RedrawOptions {
    int rounds = 2000;
};

struct EventsOptions {
    std::string farm;  // the vq6120-sim program
    int terminals = 1000;
    int rate = 10;           // events per second per terminal
    double seconds = 10;     // measured time with traffic
    double idle_seconds = 5; // measured time with every terminal silent
    bool baseline = true;    // also run the spinning sweep
};

struct OpenOptions {
    std::string farm;
    int terminals = 1000;
    int silent = 100;       // terminals that never answer the handshake
    int limit_ms = 1000;    // connect time limit per terminal
    int baseline_count = 0; // terminals opened one by one (0: none), one of them silent
};

// The 200 commands of a full-screen redraw; returns how many were accepted.
inline constexpr std::int32_t kRedrawCommands = 200;
std::int32_t redraw(VQ6120_HANDLE h);
struct FreezeOptions {
    std::string farm;
    int terminals = 1000;
    int rate = 10;                 // events per second per terminal
    double seconds = 20;           // calm, the baseline
    double freeze_seconds = 120;   // terminal 0 frozen
    int frozen_redraws = 1;        // redraws a second to terminal 0
};

int run_redraw(const RedrawOptions &options);
int run_events(const EventsOptions &options);
int run_open(const OpenOptions &options);
int run_freeze(const FreezeOptions &options);

}  // namespace vq6120::bench
