// cmd/image: a picture for a terminal's graphic screen over MQTT, as
// {"png": BASE64, "x": 0, "y": 0, "dither": "floyd-steinberg", "threshold":
// 128, "fit": "screen", "clear": false}. A PNG or PBM/PGM/PPM file travels
// under "png"; the picture is fitted to the screen from (x, y) (or kept at
// its own size: "fit"),
// turned to one bit and sent as the fewest bytes of the terminal's own
// commands, in one write.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "VQ6120_LIB.h"
#include "vq6120/screen/encoder.hpp"
#include "vq6120/display/render.hpp"

namespace vq6120::gateway {

inline constexpr const char *kImageOperation = "image";
// cmd/font-text: {"text": "Pump 1", "x": 0, "y": 0, "size": 16, "font":
// "sans", "clear": false}: text in one of the system's DejaVu fonts
// (fonts-dejavu-core) at any pixel size, rendered to one bit and sent the
// same way as a picture.
inline constexpr const char *kFontTextOperation = "font-text";

inline constexpr const char *kFontDir = "/usr/share/fonts/truetype/dejavu";

struct ImageCommand {
    screen::Canvas picture;
    bool clear = false;
    // The terminal commands that draw `picture` (plan()); they hold no text,
    // so they need nothing else to stay alive.
    std::vector<screen::Command> commands;
};

// The request as a picture; false with the field at fault in `argument` and
// the reason in `error`. Nothing is sent.
bool parse_image(const nlohmann::json &request, ImageCommand &out, std::string &argument, std::string &error);
// The same for cmd/font-text; `font_dir` holds the DejaVu font files.
bool parse_font_text(const nlohmann::json &request, ImageCommand &out, std::string &argument, std::string &error,
                     const std::string &font_dir = kFontDir);
// Encodes the picture into `commands`: the costly part of sending, done
// wherever the picture was made.
void plan(ImageCommand &image);
// Sends the planned commands in one write; false when the connection failed
// or the terminal's queue could not take them.
bool send_image(VQ6120_HANDLE handle, const ImageCommand &image);

}  // namespace vq6120::gateway
