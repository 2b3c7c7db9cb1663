// FreeType's monochrome rendering: each glyph rasterised straight to one bit
// (FT_LOAD_TARGET_MONO), hinted for the size, so small text stays crisp.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>

#include "vq6120/display/render.hpp"

namespace vq6120::display {

struct Font::Face {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    ~Face() {
        if (face != nullptr) FT_Done_Face(face);
        if (library != nullptr) FT_Done_FreeType(library);
    }
};

namespace {

// The next code point of `s` from `i`, moving `i` past it.
char32_t next_code_point(std::string_view s, std::size_t &i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size()) {
        ++i;
        return U'\uFFFD';
    }
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + static_cast<std::size_t>(k)) & 0xC0) != 0x80) {
            ++i;
            return U'\uFFFD';
        }
        cp = (cp << 6) | (byte(i + static_cast<std::size_t>(k)) & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

}  // namespace

Font::Font(std::unique_ptr<Face> face) noexcept : face_(std::move(face)) {
    const FT_Size_Metrics &m = face_->face->size->metrics;
    ascent_ = static_cast<int>(m.ascender >> 6);
    line_height_ = static_cast<int>((m.ascender - m.descender) >> 6);
}

Font::~Font() = default;

std::unique_ptr<Font> Font::load(const std::string &path, int pixel_height, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error != nullptr) *error = why;
        return std::unique_ptr<Font>();
    };
    if (pixel_height < 1 || pixel_height > 256) return fail("pixel height out of 1..256");
    auto face = std::make_unique<Face>();
    if (FT_Init_FreeType(&face->library) != 0) return fail("FreeType did not start");
    if (FT_New_Face(face->library, path.c_str(), 0, &face->face) != 0) return fail(path + ": not a font FreeType reads");
    if (FT_Set_Pixel_Sizes(face->face, 0, static_cast<FT_UInt>(pixel_height)) != 0) {
        return fail(path + ": no such size");
    }
    return std::unique_ptr<Font>(new Font(std::move(face)));
}

int Font::draw(Canvas &canvas, int x, int y, std::string_view utf8, bool on) const {
    FT_Face f = face_->face;
    const int baseline = y + ascent_;
    int pen = x;
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = next_code_point(utf8, i);
        if (FT_Load_Char(f, cp, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0) continue;
        const FT_Bitmap &b = f->glyph->bitmap;
        if (b.pixel_mode == FT_PIXEL_MODE_MONO) {
            const int left = pen + f->glyph->bitmap_left, top = baseline - f->glyph->bitmap_top;
            for (unsigned row = 0; row < b.rows; ++row) {
                const unsigned char *line = b.buffer + static_cast<std::ptrdiff_t>(row) * b.pitch;
                for (unsigned col = 0; col < b.width; ++col) {
                    if ((line[col >> 3] >> (7 - (col & 7)) & 1) != 0) {
                        canvas.set(left + static_cast<int>(col), top + static_cast<int>(row), on);
                    }
                }
            }
        }
        pen += static_cast<int>(f->glyph->advance.x >> 6);
    }
    return pen - x;
}

int Font::measure(std::string_view utf8) const {
    FT_Face f = face_->face;
    int width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        if (FT_Load_Char(f, next_code_point(utf8, i), FT_LOAD_DEFAULT | FT_LOAD_TARGET_MONO) == 0) {
            width += static_cast<int>(f->glyph->advance.x >> 6);
        }
    }
    return width;
}

}  // namespace vq6120::display
