#include "image_command.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "display/send.hpp"
#include "render.hpp"
#include "session.hpp"

namespace vq6120::cli {
namespace {

using namespace vq6120::display;

class Image final : public ImageCommand {
public:
    explicit Image(CLI::App &app) {
        sub_ = app.add_subcommand("image", "Show a picture (PNG, JPEG, BMP, GIF, PNM) on the graphic screen");
        sub_->add_option("file", file_, "the picture")->required()->type_name("");
        sub_->add_option("--dither", dither_,
                         "floyd-steinberg (default), ordered (8x8 Bayer) or threshold (dark below --threshold)")
            ->check(CLI::IsMember({"floyd-steinberg", "ordered", "threshold"}))
            ->type_name("");
        sub_->add_option("--threshold", threshold_, "grey level 0..255 below which a pixel is dark (default 128)")
            ->check(CLI::Range(0, 255).description(""));
        sub_->add_option("--at", at_, "X,Y of the picture's top-left pixel (default 0,0)")->type_name("");
        sub_->add_flag("--clear", clear_,
                       "clear the screen first, so it shows exactly the picture (else the picture's dark pixels "
                       "are drawn over what is there)");
    }
    bool parsed() const override { return sub_->parsed(); }

    int run(VQ6120_HANDLE handle) override {
        int x = 0, y = 0;
        char tail = 0;
        if (std::sscanf(at_.c_str(), "%d,%d%c", &x, &y, &tail) != 2 || x < 0 || x >= kWidth || y < 0 ||
            y >= kHeight) {
            std::fprintf(stderr, "vq6120: --at %s is not X,Y with X in 0..239 and Y in 0..63\n", at_.c_str());
            return kExitRefused;
        }
        std::string error;
        const GreyImage picture = load_grey(file_, &error);
        if (picture.width == 0) {
            std::fprintf(stderr, "vq6120: %s\n", error.c_str());
            return kExitRefused;
        }
        const std::map<std::string, Dither> dithers = {
            {"floyd-steinberg", Dither::FloydSteinberg}, {"ordered", Dither::Ordered}, {"threshold", Dither::Threshold}};
        Canvas wanted;
        const auto [w, h] = draw_image_fitted(wanted, x, y, picture, dithers.at(dither_), threshold_);
        if (VQ6120Ex_BeginBatch(handle) != 1) return kExitLost;
        if (clear_) ClearGraphicScreen(handle);
        const EncodeResult r = encode(Plane{}, wanted.plane(), {}, EncodeOptions{}, send_to_handle, handle);
        if (VQ6120Ex_EndBatch(handle) != 1) {
            std::fprintf(stderr, "vq6120: the connection was lost while sending\n");
            return kExitLost;
        }
        std::printf("%dx%d at %d,%d: %d commands, %d bytes\n", w, h, x, y, r.commands + (clear_ ? 1 : 0),
                    r.bytes + (clear_ ? 8 : 0));
        return 0;
    }

private:
    CLI::App *sub_ = nullptr;
    std::string file_;
    std::string dither_ = "floyd-steinberg";
    int threshold_ = 128;
    std::string at_ = "0,0";
    bool clear_ = false;
};

}  // namespace

ImageCommand *ImageCommand::add(CLI::App &app) {
    static Image image(app);  // one per program run
    return &image;
}

}  // namespace vq6120::cli
