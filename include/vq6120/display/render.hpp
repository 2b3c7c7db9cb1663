// Drawing on a canvas with what the terminal lacks: text in real fonts at
// any size (FreeType's monochrome rasteriser), pictures (PNG through
// libspng, PBM/PGM/PPM through our own parser) fitted and turned to one bit
// by a threshold or dithering, and the widgets HMI screens are made of.
// docs/display.md gives the picture arithmetic exactly; the Python package
// draws the same pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vq6120/screen/canvas.hpp"

namespace vq6120::display {

// Everything here draws on the screen layer's canvas.
using screen::Canvas;

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

// Limits on a picture, judged before any pixel is decoded: each side
// 1..kMaxPictureSide, at most kMaxPicturePixels in all, and a file or buffer
// of at most kMaxPictureBytes.
inline constexpr std::uint32_t kMaxPictureSide = 8192;
inline constexpr std::uint64_t kMaxPicturePixels = 4U << 20;
inline constexpr std::size_t kMaxPictureBytes = 32U << 20;

// A PNG or PBM/PGM/PPM (P1..P6) file as grey over white; empty (width 0)
// with the reason, led by the path, in `error` when the file cannot be read
// or the picture is refused (another format, outside the limits, damaged).
GreyImage load_grey(const std::string &path, std::string *error = nullptr);
// The same from the file's bytes in memory; the reason is led by "the
// picture: ".
GreyImage decode_grey(const std::uint8_t *bytes, std::size_t size, std::string *error = nullptr);
// Scaled to width x height: the mean of the source pixels each target
// pixel covers (nearest pixel when enlarging), in 64-bit arithmetic.
GreyImage scale(const GreyImage &image, int width, int height);

// How a picture is fitted into the box from its placement (x, y) to the
// screen's bottom-right corner.
enum class Fit : std::uint8_t {
    Screen,  // scaled up or down to the box, the aspect kept
    Shrink,  // own size when it fits in the box, else as Screen
    None,    // own size, its top-left part cropped to the box
};
// The size a width x height picture takes at (x, y); (0, 0) when the
// picture is empty or (x, y) is off the screen.
std::pair<int, int> fitted_size(int width, int height, int x, int y, Fit fit);
// The picture as fitted at (x, y): scaled or cropped to fitted_size.
GreyImage fit_grey(const GreyImage &image, int x, int y, Fit fit);

enum class Dither : std::uint8_t {
    Threshold,       // dark (below `threshold`) pixels on
    FloydSteinberg,  // error diffusion, serpentine
    Ordered,         // 8 x 8 Bayer matrix
};
// The picture with its top-left at (x, y): dark pixels on, light ones off,
// clipped at the screen's edges.
void draw_image(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither, int threshold = 128);

// The picture fitted at (x, y) (fit_grey) and drawn there; returns its size
// on the screen (width, height), (0, 0) when nothing was drawn.
std::pair<int, int> draw_image_fitted(Canvas &canvas, int x, int y, const GreyImage &image, Dither dither,
                                      int threshold = 128, Fit fit = Fit::Screen);

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
