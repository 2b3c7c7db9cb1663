// Drawing on a canvas with what the terminal lacks: text in real fonts at
// any size (FreeType's monochrome rasteriser), pictures (stb_image) scaled
// and turned to one bit by a threshold or dithering, and the widgets HMI
// screens are made of.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "display/canvas.hpp"

namespace vq6120::display {

// A scalable font at one pixel size, rendered without anti-aliasing.
class Font {
public:
    // nullptr with the reason in `error` when FreeType cannot read the file
    // or the size (1..256 pixels) is refused.
    static std::unique_ptr<Font> load(const std::string &path, int pixel_height, std::string *error = nullptr);
    ~Font();
    Font(const Font &) = delete;
    Font &operator=(const Font &) = delete;

    // Draws UTF-8 text with the top of its line at y (the baseline lies
    // ascent() lower) and its pen starting at x; pixels on (or off, for
    // white on black). Returns the pen's advance. Bytes that are not UTF-8
    // are drawn as U+FFFD.
    int draw(Canvas &canvas, int x, int y, std::string_view utf8, bool on = true) const;
    int measure(std::string_view utf8) const;
    int ascent() const noexcept { return ascent_; }
    int line_height() const noexcept { return line_height_; }

private:
    struct Face;
    explicit Font(std::unique_ptr<Face> face) noexcept;
    std::unique_ptr<Face> face_;
    int ascent_ = 0;
    int line_height_ = 0;
};

// An 8-bit grey picture, 0 black .. 255 white.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // row by row
};

// A PNG, JPEG, BMP, GIF, PNM ... file through stb_image; empty (width 0)
// with the reason in `error` when it cannot be read.
GreyImage load_grey(const std::string &path, std::string *error = nullptr);
// The same from the file's bytes in memory. Pictures of more than
// kMaxPicturePixels are refused before they are decoded.
inline constexpr long kMaxPicturePixels = 16L << 20;
GreyImage decode_grey(const std::uint8_t *bytes, std::size_t size, std::string *error = nullptr);
// Scaled to width x height: the mean of the source pixels each target
// pixel covers (nearest pixel when enlarging).
GreyImage scale(const GreyImage &image, int width, int height);

enum class Dither : std::uint8_t {
    Threshold,       // dark (below `threshold`) pixels on
    FloydSteinberg,  // error diffusion, serpentine
    Ordered,         // 8 x 8 Bayer matrix
};
// The picture with its top-left at (x, y): dark pixels on, light ones off,
// clipped at the screen's edges.
void draw_image(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither, int threshold = 128);

// The picture scaled to fit the screen from (x, y), the aspect kept, and
// drawn there; returns its size on the screen (width, height).
std::pair<int, int> draw_image_fitted(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither,
                                      int threshold = 128);

// Widgets.
// A bar graph in the box (x, y, width, height): a frame, and per value a
// bar from the bottom, `value` / `maximum` of the inner height.
void draw_bar_graph(Canvas &canvas, int x, int y, int width, int height, const std::vector<int> &values,
                    int maximum);
// A horizontal level bar: frame and fill to `value` / `maximum`.
void draw_level_bar(Canvas &canvas, int x, int y, int width, int height, int value, int maximum);
// A value in a big font with a small unit after it, right-aligned at
// right_x; the old digits' area (width, font's line) is cleared first.
void draw_big_value(Canvas &canvas, int right_x, int y, int width, const Font &big, std::string_view value,
                    const Font &small, std::string_view unit);
// A menu: one line per item in `font`, the selected one inverted.
void draw_menu(Canvas &canvas, int x, int y, int width, const Font &font, const std::vector<std::string> &items,
               int selected);

}  // namespace vq6120::display
