// `vq6120 HOST image FILE [--dither ...] [--at X,Y]`: a picture on the
// graphic screen, scaled to fit, turned to one bit and sent as the fewest
// bytes of the terminal's own commands. Absent where the build has no
// display layer (image_none.cpp).
#pragma once

#include <CLI/CLI.hpp>

#include "VQ6120_LIB.h"

namespace vq6120::cli {

class ImageCommand {
public:
    // Adds the subcommand to `app`; null where the build has none.
    static ImageCommand *add(CLI::App &app);
    virtual ~ImageCommand() = default;
    virtual bool parsed() const = 0;
    // Loads, converts and sends; returns the exit status. A file that cannot
    // be read is refused (2) before anything is sent.
    virtual int run(VQ6120_HANDLE handle) = 0;
};

}  // namespace vq6120::cli
