// The picture pipeline: the shared vectors (tests/display/picture_vectors.txt,
// checked by the Python package too), decoded samples against the formulas
// the test pictures were made with (make_pictures.py), refusals, the limits
// at both edges and fitting at extreme aspects.
// VQ6120_WRITE_VECTORS=1 rewrites the vectors from this code: only when the
// pipeline's arithmetic changes on purpose.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "vq6120/display/render.hpp"

namespace vq6120::display {
namespace {

const std::string kPictures = VQ6120_PICTURES_DIR;

// The dithered picture as it lands on the screen: (tw + 7) / 8 bytes a row,
// most significant bit leftmost, set = dark; and its SHA-256 in hex.
std::string packed_sha256(const Canvas &c, int x, int y, int tw, int th) {
    const std::size_t stride = static_cast<std::size_t>(tw + 7) / 8;
    std::vector<unsigned char> rows(stride * static_cast<std::size_t>(th));
    for (int r = 0; r < th; ++r) {
        for (int col = 0; col < tw; ++col) {
            if (c.get(x + col, y + r)) rows[stride * static_cast<std::size_t>(r) + static_cast<std::size_t>(col / 8)] |= 0x80 >> (col % 8);
        }
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(rows.data(), rows.size(), digest);
    std::string hex;
    for (unsigned char b : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

struct Case {
    std::string file, fit;
    int x, y;
    std::string dither;
    int threshold;
};

// What the pipeline makes of one case: "TWxTH SHA256" or "refused".
std::string outcome(const Case &k) {
    static const std::pair<const char *, Fit> kFits[] = {{"screen", Fit::Screen}, {"shrink", Fit::Shrink}, {"none", Fit::None}};
    static const std::pair<const char *, Dither> kDithers[] = {
        {"floyd-steinberg", Dither::FloydSteinberg}, {"ordered", Dither::Ordered}, {"threshold", Dither::Threshold}};
    Fit fit = Fit::Screen;
    Dither dither = Dither::FloydSteinberg;
    for (const auto &[name, f] : kFits) if (k.fit == name) fit = f;
    for (const auto &[name, d] : kDithers) if (k.dither == name) dither = d;
    const GreyImage picture = load_grey(kPictures + "/" + k.file);
    if (picture.width == 0) return "refused";
    Canvas c;
    const auto [tw, th] = draw_image_fitted(c, k.x, k.y, picture, dither, k.threshold, fit);
    return std::to_string(tw) + "x" + std::to_string(th) + " " + packed_sha256(c, k.x, k.y, tw, th);
}

// The cases the vectors hold: every picture once as the CLI draws it by
// default, then fit modes, placements and dithers on a few.
std::vector<Case> vector_cases() {
    std::vector<Case> cases;
    const char *all[] = {
        "binary.pbm", "binary.pgm", "binary.ppm", "binary16.pgm", "binary16.ppm", "bomb-16x16.png",
        "double-480x128.png", "grey-alpha16.png", "grey-alpha8.png", "grey1-interlaced.png", "grey1.png",
        "grey16-trns.png", "grey16.png", "grey2-trns.png", "grey2.png", "grey4-interlaced.png", "grey4.png",
        "grey8-trns.png", "grey8.png", "palette1.png", "palette2-interlaced.png", "palette2.png", "palette4-trns.png",
        "palette4.png", "palette8.png", "plain.pbm", "plain.pgm", "plain.ppm", "radial.pgm", "radial.png",
        "ramp.pgm", "ramp.png", "raster-starts-with-newline.pgm", "rgb16-trns.png", "rgb16.png",
        "rgb8-interlaced.png", "rgb8-trns.png", "rgb8.png", "rgba16-interlaced.png", "rgba16.png", "rgba8.png",
        "small-5x3.png", "tall-4x400.png", "wide-960x6.png", "zeros-8192x512.png",
        "bad-3000x3000.png", "bad-9000x10.pgm", "bad-9000x10.png", "bad-bmp.bmp", "bad-crc.png", "bad-crc-last-idat.png", "bad-depth.png",
        "bad-digits.pgm", "bad-empty.png", "bad-gif.gif", "bad-hdr.hdr", "bad-jpeg.jpg", "bad-maxval-0.pgm",
        "bad-maxval-65536.pgm", "bad-no-palette.png", "bad-no-space-after-maxval.pgm", "bad-p7.pam",
        "bad-palette-index.png", "bad-plain-over-maxval.ppm", "bad-psd.psd", "bad-raster-comment.pgm",
        "bad-sample-over-maxval.pgm", "bad-short-idat.png", "bad-sign.pgm", "bad-truncated.pbm", "bad-truncated.png",
        "bad-truncated.ppm", "bad-truncated16.pgm", "bad-width-0.pgm"};
    for (const char *f : all) cases.push_back({f, "screen", 0, 0, "floyd-steinberg", 128});
    for (const char *f : {"small-5x3.png", "wide-960x6.png", "tall-4x400.png", "double-480x128.png", "rgba16.png",
                          "palette4-trns.png"}) {
        for (const char *fit : {"screen", "shrink", "none"}) {
            for (const auto &[x, y] : {std::pair{17, 5}, std::pair{236, 60}, std::pair{239, 63}}) {
                cases.push_back({f, fit, x, y, "floyd-steinberg", 128});
            }
        }
    }
    for (const char *f : {"ramp.png", "radial.png", "radial.pgm", "grey16.png", "plain.ppm"}) {
        for (const char *fit : {"screen", "none"}) {
            for (const auto &[x, y] : {std::pair{0, 0}, std::pair{100, 9}}) {
                cases.push_back({f, fit, x, y, "ordered", 128});
                cases.push_back({f, fit, x, y, "threshold", 128});
                cases.push_back({f, fit, x, y, "threshold", 77});
            }
        }
    }
    return cases;
}

std::string line_of(const Case &k) {
    return k.file + " " + k.fit + " " + std::to_string(k.x) + " " + std::to_string(k.y) + " " + k.dither + " " +
           std::to_string(k.threshold);
}

TEST(PictureVectors, EveryLineDrawsAsWritten) {
    const std::string path = kPictures + "/../picture_vectors.txt";
    if (std::getenv("VQ6120_WRITE_VECTORS") != nullptr) {
        std::ofstream out(path);
        out << "# FILE FIT X Y DITHER THRESHOLD -> TWxTH SHA256_OF_PACKED_ROWS | refused\n"
               "# (pictures in pictures/; packed rows: (TW + 7) / 8 bytes a row, MSB leftmost, set = dark)\n";
        for (const Case &k : vector_cases()) out << line_of(k) << " -> " << outcome(k) << "\n";
    }
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    std::string text;
    int checked = 0, refused = 0;
    while (std::getline(in, text)) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream words(text);
        Case k;
        std::string arrow;
        ASSERT_TRUE(words >> k.file >> k.fit >> k.x >> k.y >> k.dither >> k.threshold >> arrow) << text;
        const std::string want = text.substr(text.find(" -> ") + 4);
        EXPECT_EQ(outcome(k), want) << text;
        ++checked;
        refused += want == "refused";
    }
    EXPECT_GE(checked, 100);
    EXPECT_GE(refused, 20);
}

// The formulas make_pictures.py wrote the pictures with.
int pattern(int max, int x, int y, int c = 0) { return (x * 7 + y * 13 + x * y * 3 + c * 29) % (max + 1); }
int wide16(int x, int y, int c = 0) { return (x * 4111 + y * 9973 + c * 21841) & 0xFFFF; }
int level8(int s, int max) { return (s * 255LL + max / 2) / max; }
int luma(int r, int g, int b) { return (299 * r + 587 * g + 114 * b + 500) / 1000; }

TEST(PictureDecode, SamplesOfEveryDepthAndByteOrderAsWritten) {
    using Grey = std::function<int(int, int)>;
    const std::vector<std::pair<std::string, Grey>> table = {
        {"grey1.png", [](int x, int y) { return level8(pattern(1, x, y), 1); }},
        {"grey2.png", [](int x, int y) { return level8(pattern(3, x, y), 3); }},
        {"grey4.png", [](int x, int y) { return level8(pattern(15, x, y), 15); }},
        {"grey8.png", [](int x, int y) { return pattern(255, x, y); }},
        {"grey16.png", [](int x, int y) { return level8(wide16(x, y), 65535); }},
        {"rgb16.png", [](int x, int y) {
             return luma(level8(wide16(x, y), 65535), level8(wide16(x, y, 1), 65535), level8(wide16(x, y, 2), 65535));
         }},
        // 0x1234 is the tRNS grey (white over white); 0x12FF shares its high byte.
        {"grey16-trns.png", [](int x, int y) { return std::vector{255, level8(0x12FF, 65535), 1}[(x + y) % 3]; }},
        {"binary16.pgm", [](int x, int y) { return level8(wide16(x, y), 65535); }},
        {"binary16.ppm", [](int x, int y) {
             return luma(level8(pattern(4095, x, y), 4095), level8(pattern(4095, x, y, 1), 4095),
                         level8(pattern(4095, x, y, 2), 4095));
         }},
        {"plain.pgm", [](int x, int y) { return level8(pattern(15, x, y), 15); }},
        {"binary.pgm", [](int x, int y) { return level8(pattern(200, x, y), 200); }},
        {"binary.pbm", [](int x, int y) { return (x * 3 + y * 5 + x * y) % 7 % 2 ? 0 : 255; }},
    };
    for (const auto &[file, want] : table) {
        std::string error;
        const GreyImage g = load_grey(kPictures + "/" + file, &error);
        ASSERT_GT(g.width, 0) << file << ": " << error;
        for (int y = 0; y < g.height; ++y) {
            for (int x = 0; x < g.width; ++x) {
                ASSERT_EQ(g.pixels[static_cast<std::size_t>(y * g.width + x)], want(x, y)) << file << " at " << x << "," << y;
            }
        }
    }
    // Adam7: de-interlaced into the same samples as the plain twin.
    for (const char *twin : {"grey1", "rgb8", "rgba16"}) {
        EXPECT_EQ(load_grey(kPictures + "/" + twin + "-interlaced.png").pixels,
                  load_grey(kPictures + "/" + twin + ".png").pixels) << twin;
    }
    EXPECT_EQ(load_grey(kPictures + "/plain.pbm").pixels, load_grey(kPictures + "/binary.pbm").pixels);
}

TEST(PictureDecode, RefusalsSayWhy) {
    const std::pair<const char *, const char *> table[] = {
        {"bad-jpeg.jpg", "not a PNG, PBM, PGM or PPM picture"},
        {"bad-gif.gif", "not a PNG, PBM, PGM or PPM picture"},
        {"bad-bmp.bmp", "not a PNG, PBM, PGM or PPM picture"},
        {"bad-psd.psd", "not a PNG, PBM, PGM or PPM picture"},
        {"bad-p7.pam", "not a PNG, PBM, PGM or PPM picture"},
        {"bad-empty.png", "an empty file"},
        {"bad-9000x10.png", "9000x10 is outside the limits (1..8192 pixels on a side, at most 4194304 pixels)"},
        {"bad-3000x3000.png", "3000x3000 is outside the limits"},
        {"bad-9000x10.pgm", "9000x10 is outside the limits"},
        {"bad-width-0.pgm", "0x4 is outside the limits"},
        {"bad-palette-index.png", "palette index out of range"},
        {"bad-no-palette.png", "not a valid PNG"},
        {"bad-crc.png", "not a valid PNG"},
        {"bad-crc-last-idat.png", "an image data chunk is cut short or fails its CRC"},
        {"bad-truncated.png", "not a valid PNG"},
        {"bad-short-idat.png", "not a valid PNG"},
        {"bad-depth.png", "not a valid PNG"},
        {"bad-truncated.ppm", "truncated"},
        {"bad-truncated16.pgm", "truncated"},
        {"bad-truncated.pbm", "truncated"},
        {"bad-sample-over-maxval.pgm", "a sample above maxval"},
        {"bad-plain-over-maxval.ppm", "a sample above maxval"},
        {"bad-maxval-0.pgm", "maxval 0 is not in 1..65535"},
        {"bad-maxval-65536.pgm", "maxval 65536 is not in 1..65535"},
        {"bad-raster-comment.pgm", "a comment in the raster"},
        {"bad-no-space-after-maxval.pgm", "no whitespace byte between the header and the raster"},
        {"bad-sign.pgm", "not a decimal number"},
        {"bad-digits.pgm", "more than 5 digits"},
        {"missing.png", "No such file"},
    };
    for (const auto &[file, why] : table) {
        std::string error;
        EXPECT_EQ(load_grey(kPictures + "/" + file, &error).width, 0) << file;
        EXPECT_NE(error.find(why), std::string::npos) << file << ": " << error;
        EXPECT_EQ(error.rfind(kPictures + "/" + file + ": ", 0), 0U) << error;
    }
}

std::vector<std::uint8_t> bytes_of(const std::string &text, std::size_t raster = 0, std::uint8_t fill = 0) {
    std::vector<std::uint8_t> b(text.begin(), text.end());
    b.resize(b.size() + raster, fill);
    return b;
}

// A PNG of an IHDR alone (no image data): judged by its size only.
std::vector<std::uint8_t> png_header(std::uint32_t w, std::uint32_t h) {
    std::vector<std::uint8_t> b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (std::uint32_t v : {w, h}) for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    for (std::uint8_t v : {8, 0, 0, 0, 0}) b.push_back(v);
    const uLong crc = crc32(0, b.data() + 12, 17);
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(crc >> s));
    return b;
}

TEST(PictureLimits, BothEdgesJudgedFromTheHeader) {
    struct Row {
        std::vector<std::uint8_t> bytes;
        int width;  // 0: refused for its size
    };
    const Row table[] = {
        {bytes_of("P5 8192 512 255\n", 8192 * 512, 200), 8192},
        {bytes_of("P5 2048 2048 255\n", 2048 * 2048), 2048},
        {bytes_of("P4 8192 1\n", 1024), 8192},
        // Refused from the header alone: no raster follows, and the refusal
        // is the size, not the missing raster.
        {bytes_of("P5 8193 1 255\n"), 0},
        {bytes_of("P5 1 8193 255\n"), 0},
        {bytes_of("P5 1985 2113 255\n"), 0},  // 4 Mi + 1 pixels
        {bytes_of("P6 65535 65535 65535\n"), 0},
        {png_header(8193, 1), 0},
        {png_header(1, 8193), 0},
        {png_header(1985, 2113), 0},
        {png_header(0xFFFFFFFF, 0xFFFFFFFF), 0},
    };
    for (const Row &row : table) {
        std::string error;
        const GreyImage g = decode_grey(row.bytes.data(), row.bytes.size(), &error);
        EXPECT_EQ(g.width, row.width) << error;
        if (row.width == 0) {
            EXPECT_NE(error.find("is outside the limits"), std::string::npos) << error;
        }
    }
    std::string error;
    const std::vector<std::uint8_t> huge(kMaxPictureBytes + 1, 'P');
    EXPECT_EQ(decode_grey(huge.data(), huge.size(), &error).width, 0);
    EXPECT_NE(error.find("too large a file"), std::string::npos) << error;
    // A PNG that really holds 8192 x 512 in a 4 KiB file: decoded.
    EXPECT_EQ(load_grey(kPictures + "/zeros-8192x512.png").width, 8192);
}

TEST(PictureDecode, SixteenBitPpmOf800x800) {
    std::vector<std::uint8_t> ppm = bytes_of("P6\n800 800\n65535\n");
    for (int y = 0; y < 800; ++y) {
        for (int x = 0; x < 800; ++x) {
            for (int c = 0; c < 3; ++c) {
                const int s = wide16(x, y, c);
                ppm.push_back(static_cast<std::uint8_t>(s >> 8));
                ppm.push_back(static_cast<std::uint8_t>(s));
            }
        }
    }
    std::string error;
    const GreyImage g = decode_grey(ppm.data(), ppm.size(), &error);
    ASSERT_EQ(g.width, 800) << error;
    ASSERT_EQ(g.height, 800);
    for (const auto &[x, y] : {std::pair{0, 0}, std::pair{799, 0}, std::pair{0, 799}, std::pair{799, 799}, std::pair{401, 237}}) {
        EXPECT_EQ(g.pixels[static_cast<std::size_t>(y * 800 + x)],
                  luma(level8(wide16(x, y), 65535), level8(wide16(x, y, 1), 65535), level8(wide16(x, y, 2), 65535)));
    }
    ppm.pop_back();
    EXPECT_EQ(decode_grey(ppm.data(), ppm.size(), &error).width, 0);
}

TEST(PictureFit, SizesForEveryModeAndAspect) {
    struct Row {
        int w, h, x, y;
        Fit fit;
        int tw, th;
    };
    const Row table[] = {
        {240, 64, 0, 0, Fit::Screen, 240, 64},
        {5, 3, 0, 0, Fit::Screen, 106, 64},     // enlarged, aspect kept
        {5, 3, 0, 0, Fit::Shrink, 5, 3},        // fits: own size
        {5, 3, 237, 62, Fit::Shrink, 3, 1},     // does not fit: as screen (3 x 2 box)
        {5, 3, 237, 62, Fit::None, 3, 2},       // cropped
        {480, 128, 0, 0, Fit::Shrink, 240, 64},
        {480, 128, 10, 0, Fit::None, 230, 64},
        {1, 4194304, 0, 0, Fit::Screen, 1, 64},
        {4194304, 1, 0, 0, Fit::Screen, 240, 1},
        {8192, 512, 0, 0, Fit::Screen, 240, 15},
        {8192, 512, 239, 63, Fit::Screen, 1, 1},
        {1 << 30, 1 << 30, 0, 0, Fit::Screen, 64, 64},  // no int overflow
        {2147483647, 1, 0, 0, Fit::Screen, 240, 1},
        {10, 10, 240, 0, Fit::Screen, 0, 0},    // placement off the screen
        {10, 10, 0, -1, Fit::None, 0, 0},
    };
    for (const Row &r : table) {
        EXPECT_EQ(fitted_size(r.w, r.h, r.x, r.y, r.fit), std::pair(r.tw, r.th))
            << r.w << "x" << r.h << " at " << r.x << "," << r.y << " fit " << static_cast<int>(r.fit);
    }
}

TEST(PictureFit, ExtremeAspectsScaleToTheMean) {
    // 1 x 4 Mi, rows alternating 0 / 200: each fitted pixel is their mean.
    GreyImage tall{1, 4194304, std::vector<std::uint8_t>(4194304)};
    for (std::size_t i = 1; i < tall.pixels.size(); i += 2) tall.pixels[i] = 200;
    const GreyImage column = fit_grey(tall, 0, 0, Fit::Screen);
    EXPECT_EQ(column.pixels, std::vector<std::uint8_t>(64, 100));
    // 8192 x 512, left half 200, right half 0: the halves meet exactly
    // mid-screen.
    GreyImage wide{8192, 512, std::vector<std::uint8_t>(8192 * 512)};
    for (std::size_t i = 0; i < wide.pixels.size(); ++i) wide.pixels[i] = i % 8192 < 4096 ? 200 : 0;
    const GreyImage band = fit_grey(wide, 0, 0, Fit::Screen);
    ASSERT_EQ(std::pair(band.width, band.height), std::pair(240, 15));
    for (int i = 0; i < 240 * 15; ++i) ASSERT_EQ(band.pixels[static_cast<std::size_t>(i)], i % 240 < 120 ? 200 : 0) << i;
    for (std::size_t i = 0; i < wide.pixels.size(); ++i) wide.pixels[i] = i % 2 ? 200 : 0;
    // Enlarging repeats pixels (the nearest); none crops the top-left corner.
    const GreyImage two{2, 1, {10, 250}};
    EXPECT_EQ(scale(two, 4, 1).pixels, (std::vector<std::uint8_t>{10, 10, 250, 250}));
    const GreyImage corner = fit_grey(wide, 200, 60, Fit::None);
    ASSERT_EQ(std::pair(corner.width, corner.height), std::pair(40, 4));
    for (std::size_t i = 0; i < corner.pixels.size(); ++i) ASSERT_EQ(corner.pixels[i], i % 2 ? 200 : 0) << i;
}

}  // namespace
}  // namespace vq6120::display
