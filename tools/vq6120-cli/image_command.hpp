// `vq6120 HOST image FILE [--dither ...] [--at X,Y] [--fit ...]`: a picture
// on the graphic screen, fitted, turned to one bit and sent as the fewest
// bytes of the terminal's own commands, then confirmed like every other
// command. Absent where the build has no display layer (image_none.cpp).
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "VQ6120_LIB.h"

namespace vq6120::cli {

class ImageCommand {
public:
    // Adds the subcommand to `app`; null where the build has none.
    static ImageCommand *add(CLI::App &app);
    virtual ~ImageCommand() = default;
    virtual bool parsed() const = 0;
    // Before connecting: checks --at, reads and decodes the file and draws
    // the picture. Returns the exit status: 0, or 2 with the reason printed
    // (a file that is missing, of another format, too large or damaged).
    virtual int prepare() = 0;
    // Sends the prepared picture; false when the connection failed.
    virtual bool send(VQ6120_HANDLE handle) = 0;
    // What was sent, for the line printed once the terminal confirmed it.
    virtual std::string summary() const = 0;
    // Seconds to wait for the terminal's confirmation (--wait).
    virtual int wait_seconds() const = 0;
};

}  // namespace vq6120::cli
