#include "vq6120/display/screen_file.hpp"

#include <fstream>

namespace vq6120::display {

using namespace screen;

bool read_screen(const std::string &path, Canvas &canvas, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error != nullptr) *error = path + ": " + why;
        return false;
    };
    std::ifstream in(path);
    if (!in) return fail("cannot be read");
    canvas.clear();
    Canvas texts;  // the runs, replayed after the pixels so they stay known as text
    std::string line;
    int y = 0;
    while (std::getline(in, line)) {
        if (line.starts_with("//")) continue;
        if (line.starts_with("text ")) {
            int x = 0, ty = 0, used = 0;
            if (std::sscanf(line.c_str(), "text %d %d %n", &x, &ty, &used) != 2 || used == 0) {
                return fail("malformed text line: " + line);
            }
            const std::string run = line.substr(static_cast<std::size_t>(used));
            texts.draw_terminal_text(x, ty, run.data(), static_cast<int>(run.size()));
            continue;
        }
        if (static_cast<int>(line.size()) != kWidth || y >= kHeight) return fail("pixel row " + std::to_string(y + 1));
        for (int x = 0; x < kWidth; ++x) canvas.set(x, y, line[static_cast<std::size_t>(x)] == '#');
        ++y;
    }
    if (y != kHeight) return fail("has " + std::to_string(y) + " pixel rows, not 64");
    const Plane pixels = canvas.plane();
    for (const TerminalText &t : texts.texts()) canvas.draw_terminal_text(t.x, t.y, t.text, t.length);
    if (!(canvas.plane() == pixels)) return fail("its text runs do not match its pixels");
    return true;
}

bool write_screen(const std::string &path, const Canvas &canvas, const std::string &note) {
    std::ofstream out(path);
    if (!note.empty()) out << "// " << note << '\n';
    for (const TerminalText &t : canvas.texts()) {
        out << "text " << t.x << ' ' << t.y << ' ' << std::string(t.text, t.length) << '\n';
    }
    for (int y = 0; y < kHeight; ++y) {
        std::string row(kWidth, '.');
        for (int x = 0; x < kWidth; ++x) {
            if (canvas.get(x, y)) row[static_cast<std::size_t>(x)] = '#';
        }
        out << row << '\n';
    }
    return static_cast<bool>(out);
}

}  // namespace vq6120::display
