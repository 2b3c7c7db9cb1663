// One line per event on standard error, with the wall-clock time, so a
// service manager's journal reads like the broker's log. Passwords never pass
// through here.
#pragma once

#include <string>

namespace vq6120::gateway {

enum class Level { error, warning, info, debug };
void set_verbose(bool verbose);
void log(Level level, const std::string &line);

}  // namespace vq6120::gateway
