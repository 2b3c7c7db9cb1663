// Pictures: PNG or PBM/PGM/PPM bytes to 8-bit grey (picture_png.cpp,
// picture_pnm.cpp), fitted to the screen by area means in 64-bit arithmetic,
// and put on the one-bit canvas by a threshold, error diffusion or an
// ordered matrix. The arithmetic is exact and shared with the Python
// package, so every road draws the same pixels.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "picture.hpp"
#include "vq6120/display/render.hpp"

namespace vq6120::display {

using namespace screen;

namespace picture {

bool size_taken(std::uint64_t width, std::uint64_t height, std::string &error) {
    if (width >= 1 && height >= 1 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
        width * height <= kMaxPicturePixels) {
        return true;
    }
    error = std::to_string(width) + "x" + std::to_string(height) + " is outside the limits (1.." +
            std::to_string(kMaxPictureSide) + " pixels on a side, at most " + std::to_string(kMaxPicturePixels) +
            " pixels)";
    return false;
}

}  // namespace picture

namespace {

struct CloseFile {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};

GreyImage decode(const std::uint8_t *bytes, std::size_t size, std::string &error) {
    if (size > kMaxPictureBytes) {
        error = std::to_string(size) + " bytes is too large a file (at most " + std::to_string(kMaxPictureBytes) +
                " bytes, 32 MiB)";
        return {};
    }
    static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= sizeof kPng && std::memcmp(bytes, kPng, sizeof kPng) == 0) {
        return picture::decode_png(bytes, size, error);
    }
    if (size >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6') {
        return picture::decode_pnm(bytes, size, error);
    }
    error = size == 0 ? "an empty file, not a PNG, PBM, PGM or PPM picture" : "not a PNG, PBM, PGM or PPM picture";
    return {};
}

}  // namespace

GreyImage load_grey(const std::string &path, std::string *error) {
    std::string why;
    std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        if (error != nullptr) *error = path + ": " + std::strerror(errno);
        return {};
    }
    // One byte more than taken, so that a larger file is told apart.
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t n = 0;
    while (bytes.size() <= kMaxPictureBytes && (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (std::ferror(file.get()) != 0) {
        if (error != nullptr) *error = path + ": cannot be read";
        return {};
    }
    GreyImage image = decode(bytes.data(), bytes.size(), why);
    if (image.width == 0 && error != nullptr) {
        *error = path + ": " + (bytes.size() > kMaxPictureBytes ? "larger than " + std::to_string(kMaxPictureBytes) +
                                                                       " bytes (32 MiB), too large a file"
                                                                 : why);
    }
    return image;
}

GreyImage decode_grey(const std::uint8_t *bytes, std::size_t size, std::string *error) {
    std::string why;
    GreyImage image = decode(bytes, size, why);
    if (image.width == 0 && error != nullptr) *error = "the picture: " + why;
    return image;
}

GreyImage scale(const GreyImage &image, int width, int height) {
    const std::int64_t tw = std::max(width, 0), th = std::max(height, 0);
    GreyImage out{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(tw * th))};
    const std::int64_t w = image.width, h = image.height;
    if (w <= 0 || h <= 0 || tw == 0 || th == 0 || image.pixels.size() != static_cast<std::size_t>(w * h)) return out;
    for (std::int64_t ty = 0; ty < th; ++ty) {
        const std::int64_t y0 = ty * h / th, y1 = std::max(y0 + 1, (ty + 1) * h / th);
        for (std::int64_t tx = 0; tx < tw; ++tx) {
            const std::int64_t x0 = tx * w / tw, x1 = std::max(x0 + 1, (tx + 1) * w / tw);
            std::int64_t sum = 0;
            for (std::int64_t sy = y0; sy < y1; ++sy) {
                const std::uint8_t *row = image.pixels.data() + sy * w;
                for (std::int64_t sx = x0; sx < x1; ++sx) sum += row[sx];
            }
            out.pixels[static_cast<std::size_t>(ty * tw + tx)] =
                static_cast<std::uint8_t>(sum / ((y1 - y0) * (x1 - x0)));
        }
    }
    return out;
}

std::pair<int, int> fitted_size(int width, int height, int x, int y, Fit fit) {
    if (width <= 0 || height <= 0 || x < 0 || x >= kWidth || y < 0 || y >= kHeight) return {0, 0};
    const std::int64_t w = width, h = height, bw = kWidth - x, bh = kHeight - y;
    if (fit == Fit::None) return {static_cast<int>(std::min(w, bw)), static_cast<int>(std::min(h, bh))};
    if (fit == Fit::Shrink && w <= bw && h <= bh) return {width, height};
    if (w * bh <= h * bw) return {static_cast<int>(std::max<std::int64_t>(1, w * bh / h)), static_cast<int>(bh)};
    return {static_cast<int>(bw), static_cast<int>(std::max<std::int64_t>(1, h * bw / w))};
}

GreyImage fit_grey(const GreyImage &image, int x, int y, Fit fit) {
    const auto [tw, th] = fitted_size(image.width, image.height, x, y, fit);
    if (tw == image.width && th == image.height) return image;
    if (fit != Fit::None) return scale(image, tw, th);
    GreyImage out{tw, th, std::vector<std::uint8_t>(static_cast<std::size_t>(tw) * static_cast<std::size_t>(th))};
    for (int row = 0; row < th; ++row) {
        const auto from = image.pixels.begin() + static_cast<std::ptrdiff_t>(row) * image.width;
        std::copy(from, from + tw, out.pixels.begin() + static_cast<std::ptrdiff_t>(row) * tw);
    }
    return out;
}

void draw_image(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither, int threshold) {
    static constexpr int kBayer[8][8] = {
        {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
        {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
        {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21},
    };
    const std::int64_t w = image.width, h = image.height;
    if (w <= 0 || h <= 0 || image.pixels.size() != static_cast<std::size_t>(w * h)) return;
    // Floyd-Steinberg: levels held as ints, serpentine; C's division
    // truncates the spread error toward zero.
    std::vector<int> level(image.pixels.begin(), image.pixels.end());
    for (std::int64_t row = 0; row < h; ++row) {
        const bool backwards = dither == Dither::FloydSteinberg && (row & 1) != 0;
        for (std::int64_t k = 0; k < w; ++k) {
            const std::int64_t col = backwards ? w - 1 - k : k;
            const int v = level[static_cast<std::size_t>(row * w + col)];
            bool dark = false;
            switch (dither) {
            case Dither::Threshold: dark = v < threshold; break;
            case Dither::Ordered: dark = v * 128 < (2 * kBayer[row & 7][col & 7] + 1) * 255; break;
            case Dither::FloydSteinberg: {
                dark = v < 128;
                const int error = v - (dark ? 0 : 255);
                const std::int64_t step = backwards ? -1 : 1;
                auto spread = [&](std::int64_t dc, std::int64_t dr, int weight) {
                    const std::int64_t c = col + dc * step, r = row + dr;
                    if (c >= 0 && c < w && r < h) level[static_cast<std::size_t>(r * w + c)] += error * weight / 16;
                };
                spread(1, 0, 7);
                spread(-1, 1, 3);
                spread(0, 1, 5);
                spread(1, 1, 1);
                break;
            }
            }
            // Off the screen: nothing drawn (and no int overflow on the way).
            if (x + col < kWidth && y + row < kHeight) {
                canvas.set(static_cast<int>(x + col), static_cast<int>(y + row), dark);
            }
        }
    }
}

std::pair<int, int> draw_image_fitted(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither,
                                      int threshold, Fit fit) {
    const GreyImage fitted = fit_grey(image, x, y, fit);
    if (fitted.width == 0) return {0, 0};
    draw_image(canvas, x, y, fitted, dither, threshold);
    return {fitted.width, fitted.height};
}

}  // namespace vq6120::display
