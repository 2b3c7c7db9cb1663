// PNG through libspng: the samples as the file holds them (SPNG_FMT_RAW:
// 16-bit big-endian, 1/2/4-bit packed most significant first), de-interlaced
// by libspng, then turned to grey here. PLTE and tRNS are read and applied
// here; gamma, colour spaces, sBIT and the background are ignored.
#include <spng.h>

#include <cstring>
#include <memory>
#include <vector>

#include "picture.hpp"

namespace vq6120::display::picture {
namespace {

struct FreeContext {
    void operator()(spng_ctx *ctx) const noexcept { spng_ctx_free(ctx); }
};

std::uint32_t big_endian32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Sample `i` of a row of samples of `depth` bits.
std::uint32_t sample_at(const std::uint8_t *row, std::size_t i, int depth) {
    if (depth == 16) return static_cast<std::uint32_t>(row[2 * i]) << 8 | row[2 * i + 1];
    if (depth == 8) return row[i];
    const std::size_t bit = i * static_cast<std::size_t>(depth);
    const int shift = 8 - depth - static_cast<int>(bit % 8);
    return (row[bit / 8] >> shift) & ((1U << depth) - 1);
}

int channels_of(int colour_type) {
    switch (colour_type) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;  // grey, palette
    }
}

GreyImage refused(std::string &error, const std::string &why) {
    error = why;
    return {};
}

}  // namespace

GreyImage decode_png(const std::uint8_t *bytes, std::size_t size, std::string &error) {
    // The size from IHDR first, so that a refusal names it.
    if (size >= 24 && std::memcmp(bytes + 12, "IHDR", 4) == 0 &&
        !size_taken(big_endian32(bytes + 16), big_endian32(bytes + 20), error)) {
        return {};
    }
    std::unique_ptr<spng_ctx, FreeContext> owner(spng_ctx_new(0));
    spng_ctx *ctx = owner.get();
    if (ctx == nullptr) return refused(error, "out of memory");
    spng_set_image_limits(ctx, kMaxPictureSide, kMaxPictureSide);
    spng_set_chunk_limits(ctx, kMaxPictureBytes, kMaxPictureBytes);
    spng_ihdr ihdr{};
    int r = spng_set_png_buffer(ctx, bytes, size);
    if (r == 0) r = spng_get_ihdr(ctx, &ihdr);
    if (r != 0) return refused(error, std::string("not a valid PNG: ") + spng_strerror(r));
    if (!size_taken(ihdr.width, ihdr.height, error)) return {};

    spng_plte plte{};
    spng_trns trns{};
    r = spng_get_plte(ctx, &plte);
    if (r == SPNG_ECHUNKAVAIL) plte.n_entries = 0;  // a palette picture without one: every index is out of range
    else if (r != 0) return refused(error, std::string("not a valid PNG: ") + spng_strerror(r));
    r = spng_get_trns(ctx, &trns);
    const bool has_trns = r == 0;
    if (r != 0 && r != SPNG_ECHUNKAVAIL) return refused(error, std::string("not a valid PNG: ") + spng_strerror(r));

    const int w = static_cast<int>(ihdr.width), h = static_cast<int>(ihdr.height);
    const int depth = ihdr.bit_depth, type = ihdr.color_type;
    const std::size_t stride = (static_cast<std::size_t>(w) * channels_of(type) * depth + 7) / 8;
    std::size_t length = 0;
    r = spng_decoded_image_size(ctx, SPNG_FMT_RAW, &length);
    if (r != 0) return refused(error, std::string("not a valid PNG: ") + spng_strerror(r));
    if (length != stride * static_cast<std::size_t>(h)) return refused(error, "not a valid PNG: unexpected layout");
    std::vector<std::uint8_t> raw(length);
    r = spng_decode_image(ctx, raw.data(), raw.size(), SPNG_FMT_RAW, 0);
    if (r != 0) return refused(error, std::string("not a valid PNG: ") + spng_strerror(r));

    const std::uint32_t max = (1U << depth) - 1;
    GreyImage image{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h))};
    std::uint8_t *out = image.pixels.data();
    for (int y = 0; y < h; ++y) {
        const std::uint8_t *row = raw.data() + stride * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < static_cast<std::size_t>(w); ++x) {
            int red = 0, green = 0, blue = 0, alpha = 255;
            switch (type) {
            case 0: {
                const std::uint32_t s = sample_at(row, x, depth);
                red = green = blue = level8(s, max);
                if (has_trns && s == trns.gray) alpha = 0;
                break;
            }
            case 2: {
                const std::uint32_t sr = sample_at(row, 3 * x, depth), sg = sample_at(row, 3 * x + 1, depth),
                                    sb = sample_at(row, 3 * x + 2, depth);
                red = level8(sr, max), green = level8(sg, max), blue = level8(sb, max);
                if (has_trns && sr == trns.red && sg == trns.green && sb == trns.blue) alpha = 0;
                break;
            }
            case 3: {
                const std::uint32_t i = sample_at(row, x, depth);
                if (i >= plte.n_entries) return refused(error, "palette index out of range");
                red = plte.entries[i].red, green = plte.entries[i].green, blue = plte.entries[i].blue;
                if (has_trns && i < trns.n_type3_entries) alpha = trns.type3_alpha[i];
                break;
            }
            case 4:
                red = green = blue = level8(sample_at(row, 2 * x, depth), max);
                alpha = level8(sample_at(row, 2 * x + 1, depth), max);
                break;
            default:  // 6: libspng takes no other colour type
                red = level8(sample_at(row, 4 * x, depth), max);
                green = level8(sample_at(row, 4 * x + 1, depth), max);
                blue = level8(sample_at(row, 4 * x + 2, depth), max);
                alpha = level8(sample_at(row, 4 * x + 3, depth), max);
                break;
            }
            *out++ = grey_over_white(red, green, blue, alpha);
        }
    }
    return image;
}

}  // namespace vq6120::display::picture
