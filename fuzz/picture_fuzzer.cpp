// Pictures from hostile bytes: the first four bytes choose the fit, the
// dither, the placement and the threshold; the rest is the file, decoded and
// drawn as the CLI and the gateway do. The drawn size must be the one the
// fit promises and lie on the screen.
#include <cstdint>
#include <cstdlib>

#include "vq6120/display/render.hpp"

using namespace vq6120::display;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 4) return 0;
    const Fit fit = static_cast<Fit>(data[0] % 3);
    const Dither dither = static_cast<Dither>(data[0] / 3 % 3);
    const int x = data[1] % vq6120::screen::kWidth, y = data[2] % vq6120::screen::kHeight, threshold = data[3];
    const GreyImage picture = decode_grey(data + 4, size - 4);
    if (picture.width == 0) return 0;
    if (picture.width > static_cast<int>(kMaxPictureSide) || picture.height > static_cast<int>(kMaxPictureSide) ||
        picture.pixels.size() != static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height)) {
        std::abort();
    }
    Canvas canvas;
    const auto [w, h] = draw_image_fitted(canvas, x, y, picture, dither, threshold, fit);
    if (std::pair(w, h) != fitted_size(picture.width, picture.height, x, y, fit) || w < 1 || h < 1 ||
        x + w > vq6120::screen::kWidth || y + h > vq6120::screen::kHeight) {
        std::abort();
    }
    return 0;
}
