// The program's way to the live view (--http): live_start.cpp where the
// build has it, live_none.cpp where it has not (Windows: no cpp-httplib).
#pragma once

#include <memory>
#include <ostream>
#include <string>

namespace vq6120::sim {

class Simulator;
class Farm;

// Checks --http's ADDRESS:PORT; false with `error` set when it is malformed
// or this build has no live view.
bool check_live_address(const std::string &http, std::string &error);

// The live view of the loop when `http` (checked already) asks for one:
// prints `http: URL` on `out` and watches the loop; `live` keeps it, and must
// outlive the loop's run(). Nothing without --http; false with `error` set
// when it cannot listen.
bool start_live(const std::string &http, Simulator &loop, std::shared_ptr<void> &live, std::ostream &out,
                std::string &error);
bool start_live(const std::string &http, Farm &loop, std::shared_ptr<void> &live, std::ostream &out,
                std::string &error);

}  // namespace vq6120::sim
