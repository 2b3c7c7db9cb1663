// Pictures: read through stb_image as grey, scaled by area means, and put on
// the one-bit canvas by a threshold, error diffusion or an ordered matrix.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_STATIC  // the decoder stays inside this file
#include <stb/stb_image.h>

#include <algorithm>

#include "render.hpp"

namespace vq6120::display {

namespace {

GreyImage grey_from(stbi_uc *data, int w, int h) {
    GreyImage image{w, h, std::vector<std::uint8_t>(data, data + static_cast<std::ptrdiff_t>(w) * h)};
    stbi_image_free(data);
    return image;
}

bool too_large(int w, int h, const std::string &what, std::string *error) {
    if (static_cast<long>(w) * h <= kMaxPicturePixels) return false;
    if (error != nullptr) *error = what + ": " + std::to_string(w) + "x" + std::to_string(h) + " is too large a picture";
    return true;
}

}  // namespace

GreyImage load_grey(const std::string &path, std::string *error) {
    int w = 0, h = 0, channels = 0;
    if (stbi_info(path.c_str(), &w, &h, &channels) == 1 && too_large(w, h, path, error)) return {};
    stbi_uc *data = stbi_load(path.c_str(), &w, &h, &channels, 1);
    if (data == nullptr) {
        if (error != nullptr) *error = path + ": " + stbi_failure_reason();
        return {};
    }
    return grey_from(data, w, h);
}

GreyImage decode_grey(const std::uint8_t *bytes, std::size_t size, std::string *error) {
    const int length = static_cast<int>(std::min<std::size_t>(size, 1U << 30));
    int w = 0, h = 0, channels = 0;
    if (stbi_info_from_memory(bytes, length, &w, &h, &channels) == 1 && too_large(w, h, "the picture", error)) {
        return {};
    }
    stbi_uc *data = stbi_load_from_memory(bytes, length, &w, &h, &channels, 1);
    if (data == nullptr) {
        if (error != nullptr) *error = std::string("the picture: ") + stbi_failure_reason();
        return {};
    }
    return grey_from(data, w, h);
}

GreyImage scale(const GreyImage &image, int width, int height) {
    GreyImage out{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(std::max(width, 0)) *
                                                            static_cast<std::size_t>(std::max(height, 0)))};
    if (image.width <= 0 || image.height <= 0 || width <= 0 || height <= 0) return out;
    for (int y = 0; y < height; ++y) {
        const int y0 = y * image.height / height, y1 = std::max(y0 + 1, (y + 1) * image.height / height);
        for (int x = 0; x < width; ++x) {
            const int x0 = x * image.width / width, x1 = std::max(x0 + 1, (x + 1) * image.width / width);
            long sum = 0;
            for (int sy = y0; sy < y1; ++sy) {
                for (int sx = x0; sx < x1; ++sx) sum += image.pixels[static_cast<std::size_t>(sy * image.width + sx)];
            }
            out.pixels[static_cast<std::size_t>(y * width + x)] =
                static_cast<std::uint8_t>(sum / (static_cast<long>(y1 - y0) * (x1 - x0)));
        }
    }
    return out;
}

void draw_image(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither, int threshold) {
    static constexpr int kBayer[8][8] = {
        {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
        {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
        {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21},
    };
    const int w = image.width, h = image.height;
    // Floyd-Steinberg: errors carried in a row of ints, serpentine.
    std::vector<int> level(image.pixels.begin(), image.pixels.end());
    for (int row = 0; row < h; ++row) {
        const bool backwards = dither == Dither::FloydSteinberg && (row & 1) != 0;
        for (int k = 0; k < w; ++k) {
            const int col = backwards ? w - 1 - k : k;
            const int v = level[static_cast<std::size_t>(row * w + col)];
            bool dark = false;
            switch (dither) {
            case Dither::Threshold: dark = v < threshold; break;
            case Dither::Ordered: dark = v * 128 < (2 * kBayer[row & 7][col & 7] + 1) * 255; break;
            case Dither::FloydSteinberg: {
                dark = v < 128;
                const int error = v - (dark ? 0 : 255);
                const int step = backwards ? -1 : 1;
                auto spread = [&](int dc, int dr, int weight) {
                    const int c = col + dc * step, r = row + dr;
                    if (c >= 0 && c < w && r < h) level[static_cast<std::size_t>(r * w + c)] += error * weight / 16;
                };
                spread(1, 0, 7);
                spread(-1, 1, 3);
                spread(0, 1, 5);
                spread(1, 1, 1);
                break;
            }
            }
            canvas.set(x + col, y + row, dark);
        }
    }
}

std::pair<int, int> draw_image_fitted(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither,
                                      int threshold) {
    if (image.width <= 0 || image.height <= 0) return {0, 0};
    const double fit = std::min(static_cast<double>(kWidth - x) / image.width,
                                static_cast<double>(kHeight - y) / image.height);
    const int w = std::max(1, static_cast<int>(image.width * fit));
    const int h = std::max(1, static_cast<int>(image.height * fit));
    draw_image(canvas, x, y, scale(image, w, h), dither, threshold);
    return {w, h};
}

}  // namespace vq6120::display
