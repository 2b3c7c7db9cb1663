// PBM, PGM and PPM (P1..P6), strictly: a header of ASCII decimal numbers
// (no sign, at most 5 digits) separated by whitespace and '#' comments; for
// the binary formats exactly one whitespace byte after the header, then the
// raster; for the plain ones numbers (or P1's 0/1) separated by whitespace,
// no comments. Every sample is checked against maxval; a raster that ends
// early is refused; bytes after it are ignored.
#include <vector>

#include "picture.hpp"

namespace vq6120::display::picture {
namespace {

constexpr int kMaxDigits = 5;

bool is_space(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

class Reader {
public:
    Reader(const std::uint8_t *bytes, std::size_t size) : p_(bytes), end_(bytes + size) {}

    // Whitespace and comments; false unless there was at least one.
    bool separator() {
        const std::uint8_t *start = p_;
        while (p_ != end_) {
            if (is_space(*p_)) {
                ++p_;
            } else if (*p_ == '#') {
                while (p_ != end_ && *p_ != '\n' && *p_ != '\r') ++p_;
            } else {
                break;
            }
        }
        return p_ != start;
    }
    void spaces() {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }
    // A decimal number of 1..5 digits; sets `why` when there is none.
    bool number(std::uint32_t &value) {
        value = 0;
        int digits = 0;
        for (; p_ != end_ && is_digit(*p_); ++p_) {
            if (++digits > kMaxDigits) return fail("a number of more than 5 digits");
            value = value * 10 + (*p_ - '0');
        }
        if (digits > 0) return true;
        return fail(p_ == end_ ? "truncated" : "not a decimal number where one belongs");
    }
    // The next header number, after at least one separator.
    bool header_number(std::uint32_t &value) {
        if (!separator()) return fail(p_ == end_ ? "truncated" : "no whitespace between the header's fields");
        return number(value);
    }
    bool byte(std::uint8_t &b) {
        if (p_ == end_) return fail("truncated");
        b = *p_++;
        return true;
    }
    bool at_end() const { return p_ == end_; }
    std::uint8_t peek() const { return *p_; }
    bool fail(const char *why) {
        why_ = why;
        return false;
    }
    const char *why() const { return why_; }

private:
    const std::uint8_t *p_;
    const std::uint8_t *end_;
    const char *why_ = "truncated";
};

// The raster as levels 0..255, one per sample, row by row.
bool read_raster(Reader &in, int format, std::size_t samples, std::uint32_t maxval, std::uint32_t width,
                 std::vector<std::uint8_t> &levels) {
    levels.resize(samples);
    std::uint32_t s = 0;
    std::uint8_t b = 0, lo = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        switch (format) {
        case 1:  // '0' / '1', whitespace optional between them
            in.spaces();
            if (!in.byte(b)) return false;
            if (b != '0' && b != '1') return in.fail(b == '#' ? "a comment in the raster" : "not 0 or 1 in the raster");
            levels[i] = b == '1' ? 0 : 255;
            continue;
        case 4: {  // rows packed most significant bit first, each padded to a byte
            const std::size_t col = i % width;
            if (col % 8 == 0 && !in.byte(b)) return false;
            levels[i] = (b >> (7 - col % 8)) & 1 ? 0 : 255;
            continue;
        }
        case 2:
        case 3:
            if (i > 0 && !in.at_end() && !is_space(in.peek())) {
                return in.fail(in.peek() == '#' ? "a comment in the raster" : "not a decimal number in the raster");
            }
            in.spaces();
            if (!in.at_end() && in.peek() == '#') return in.fail("a comment in the raster");
            if (!in.number(s)) return false;
            break;
        default:  // 5, 6: one byte per sample, or two big-endian above 255
            if (!in.byte(b)) return false;
            s = b;
            if (maxval > 255) {
                if (!in.byte(lo)) return false;
                s = s << 8 | lo;
            }
            break;
        }
        if (s > maxval) return in.fail("a sample above maxval");
        levels[i] = static_cast<std::uint8_t>(level8(s, maxval));
    }
    return true;
}

}  // namespace

GreyImage decode_pnm(const std::uint8_t *bytes, std::size_t size, std::string &error) {
    const int format = bytes[1] - '0';
    Reader in(bytes + 2, size - 2);
    std::uint32_t width = 0, height = 0, maxval = 1;
    const bool bitmap = format == 1 || format == 4;
    if (!in.header_number(width) || !in.header_number(height) || (!bitmap && !in.header_number(maxval))) {
        error = std::string("not a valid PBM, PGM or PPM: ") + in.why();
        return {};
    }
    if (!size_taken(width, height, error)) return {};
    if (maxval < 1 || maxval > 65535) {
        error = "not a valid PGM or PPM: maxval " + std::to_string(maxval) + " is not in 1..65535";
        return {};
    }
    // After the header: for the binary formats exactly one whitespace byte.
    std::uint8_t b = 0;
    if (format >= 4 && !in.byte(b)) {
        error = "not a valid PBM, PGM or PPM: truncated";
        return {};
    }
    if (format >= 4 && !is_space(b)) {
        error = "not a valid PBM, PGM or PPM: no whitespace byte between the header and the raster";
        return {};
    }
    if (format < 4 && (in.at_end() || !is_space(in.peek()))) {
        error = std::string("not a valid PBM, PGM or PPM: ") +
                (in.at_end() ? "truncated" : "no whitespace between the header and the raster");
        return {};
    }
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    const bool colour = format == 3 || format == 6;
    std::vector<std::uint8_t> levels;
    if (!read_raster(in, format, colour ? 3 * pixels : pixels, maxval, width, levels)) {
        error = std::string("not a valid PBM, PGM or PPM: ") + in.why();
        return {};
    }
    GreyImage image{static_cast<int>(width), static_cast<int>(height), {}};
    if (!colour) {
        image.pixels = std::move(levels);
        return image;
    }
    image.pixels.resize(pixels);
    for (std::size_t i = 0; i < pixels; ++i) {
        image.pixels[i] = grey_over_white(levels[3 * i], levels[3 * i + 1], levels[3 * i + 2], 255);
    }
    return image;
}

}  // namespace vq6120::display::picture
