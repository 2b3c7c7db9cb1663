#include "image_command.hpp"

#include <map>
#include <optional>

#include "vq6120/screen/send.hpp"
#include "payloads.hpp"

namespace vq6120::gateway {

using nlohmann::json;

namespace {

// A base64 PNG of the largest picture taken: decoded it may not exceed this.
constexpr std::size_t kMaxPictureBytes = 4U << 20;

bool integer_in(const json &value, int lo, int hi, int &out) {
    if (!value.is_number_integer() || value.get<long long>() < lo || value.get<long long>() > hi) return false;
    out = static_cast<int>(value.get<long long>());
    return true;
}

// Refuses `field` for `why`; false, for returning.
struct Refusal {
    std::string &argument, &error;
    bool operator()(const std::string &field, const std::string &why) const {
        argument = field;
        error = field + ": " + why;
        return false;
    }
};

// The fields a picture and a text share: where (x, y) and whether to clear
// first. Nothing when `key` is none of them; else whether its value was taken.
std::optional<bool> placement_field(const std::string &key, const json &v, int &x, int &y, bool &clear,
                                    const Refusal &refuse) {
    if (key == "x") {
        if (!integer_in(v, 0, screen::kWidth - 1, x)) return refuse(key, v.dump() + " is not in 0..239");
    } else if (key == "y") {
        if (!integer_in(v, 0, screen::kHeight - 1, y)) return refuse(key, v.dump() + " is not in 0..63");
    } else if (key == "clear") {
        if (!v.is_boolean()) return refuse(key, "not true or false");
        clear = v.get<bool>();
    } else {
        return std::nullopt;
    }
    return true;
}

}  // namespace

bool parse_image(const json &request, ImageCommand &out, std::string &argument, std::string &error) {
    static const std::map<std::string, display::Dither> dithers = {{"floyd-steinberg", display::Dither::FloydSteinberg},
                                                                   {"ordered", display::Dither::Ordered},
                                                                   {"threshold", display::Dither::Threshold}};
    int x = 0, y = 0, threshold = 128;
    display::Dither dither = display::Dither::FloydSteinberg;
    static const std::map<std::string, display::Fit> fits = {
        {"screen", display::Fit::Screen}, {"shrink", display::Fit::Shrink}, {"none", display::Fit::None}};
    display::Fit fit = display::Fit::Screen;
    std::string bytes;
    const Refusal refuse{argument, error};
    for (const auto &item : request.items()) {
        const std::string &key = item.key();
        const json &v = item.value();
        if (key == "id") continue;
        if (const auto taken = placement_field(key, v, x, y, out.clear, refuse)) {
            if (!*taken) return false;
        } else if (key == "png") {
            if (!v.is_string() || v.get_ref<const std::string &>().size() > kMaxPictureBytes / 3 * 4 + 4 ||
                !unbase64(v.get_ref<const std::string &>(), bytes)) {
                return refuse(key, "not base64 of at most " + std::to_string(kMaxPictureBytes) + " bytes");
            }
        } else if (key == "threshold") {
            if (!integer_in(v, 0, 255, threshold)) return refuse(key, v.dump() + " is not in 0..255");
        } else if (key == "dither") {
            const auto d = v.is_string() ? dithers.find(v.get<std::string>()) : dithers.end();
            if (d == dithers.end()) return refuse(key, "not one of floyd-steinberg, ordered, threshold");
            dither = d->second;
        } else if (key == "fit") {
            const auto f = v.is_string() ? fits.find(v.get<std::string>()) : fits.end();
            if (f == fits.end()) return refuse(key, "not one of screen, shrink, none");
            fit = f->second;
        } else {
            return refuse(key, "not an argument of image");
        }
    }
    if (!request.contains("png")) return refuse("png", "missing");
    std::string why;
    const display::GreyImage picture =
        display::decode_grey(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), &why);
    if (picture.width == 0) return refuse("png", why);
    display::draw_image_fitted(out.picture, x, y, picture, dither, threshold, fit);
    return true;
}

bool parse_font_text(const json &request, ImageCommand &out, std::string &argument, std::string &error,
                     const std::string &font_dir) {
    static const std::map<std::string, std::string> faces = {
        {"sans", "DejaVuSans.ttf"},          {"sans-bold", "DejaVuSans-Bold.ttf"},
        {"mono", "DejaVuSansMono.ttf"},      {"mono-bold", "DejaVuSansMono-Bold.ttf"},
        {"serif", "DejaVuSerif.ttf"},        {"serif-bold", "DejaVuSerif-Bold.ttf"}};
    constexpr std::size_t kMaxText = 256;
    int x = 0, y = 0, size = 16;
    std::string face = "sans";
    const Refusal refuse{argument, error};
    for (const auto &item : request.items()) {
        const std::string &key = item.key();
        const json &v = item.value();
        if (key == "id" || key == "text") continue;
        if (const auto taken = placement_field(key, v, x, y, out.clear, refuse)) {
            if (!*taken) return false;
        } else if (key == "size") {
            if (!integer_in(v, 6, 64, size)) return refuse(key, v.dump() + " is not in 6..64 (pixels)");
        } else if (key == "font") {
            if (!v.is_string() || faces.count(v.get<std::string>()) == 0) {
                return refuse(key, "not one of sans, sans-bold, mono, mono-bold, serif, serif-bold");
            }
            face = v.get<std::string>();
        } else {
            return refuse(key, "not an argument of font-text");
        }
    }
    const auto text = request.find("text");
    if (text == request.end()) return refuse("text", "missing");
    if (!text->is_string() || text->get_ref<const std::string &>().empty() ||
        text->get_ref<const std::string &>().size() > kMaxText) {
        return refuse("text", "not a string of 1.." + std::to_string(kMaxText) + " bytes");
    }
    std::string why;
    const auto font = display::Font::load(font_dir + "/" + faces.at(face), size, &why);
    if (font == nullptr) return refuse("font", face + " cannot be loaded (fonts-dejavu-core installed?): " + why);
    font->draw(out.picture, x, y, text->get_ref<const std::string &>());
    return true;
}

void plan(ImageCommand &image) {
    image.commands.clear();
    screen::encode(
        screen::Plane{}, image.picture.plane(), {}, screen::EncodeOptions{},
        [](void *to, const screen::Command &c) noexcept { static_cast<std::vector<screen::Command> *>(to)->push_back(c); },
        &image.commands);
}

bool send_image(VQ6120_HANDLE handle, const ImageCommand &image) {
    const auto planned = [&image](screen::CommandSink sink, void *context) noexcept {
        for (const screen::Command &c : image.commands) sink(context, c);
    };
    return screen::send_drawing(handle, image.clear, false, planned).accepted;
}

}  // namespace vq6120::gateway
