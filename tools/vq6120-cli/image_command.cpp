#include "image_command.hpp"

#include <cstdio>
#include <map>
#include <string>

#include "commands.hpp"
#include "vq6120/screen/send.hpp"
#include "vq6120/display/render.hpp"
#include "session.hpp"

namespace vq6120::cli {
namespace {

using namespace vq6120::display;
using namespace vq6120::screen;

class Image final : public ImageCommand {
public:
    explicit Image(CLI::App &app) {
        sub_ = app.add_subcommand("image", "Show a picture (PNG, PBM, PGM or PPM) on the graphic screen");
        sub_->add_option("file", file_,
                         "the picture: PNG or PBM/PGM/PPM, at most 8192 pixels on a side, 4194304 pixels and "
                         "32 MiB")
            ->required()
            ->type_name("");
        sub_->add_option("--dither", dither_,
                         "floyd-steinberg (default), ordered (8x8 Bayer) or threshold (dark below --threshold)")
            ->check(CLI::IsMember({"floyd-steinberg", "ordered", "threshold"}))
            ->type_name("");
        sub_->add_option("--threshold", threshold_, "grey level 0..255 below which a pixel is dark (default 128)")
            ->check(CLI::Range(0, 255).description(""));
        sub_->add_option("--at", at_, "X,Y of the picture's top-left pixel, X 0..239, Y 0..63 (default 0,0)")
            ->type_name("");
        sub_->add_option("--fit", fit_,
                         "screen (default: scaled up or down to the screen from X,Y, the aspect kept), shrink "
                         "(own size when it fits, else as screen) or none (own size, cropped)")
            ->check(CLI::IsMember({"screen", "shrink", "none"}))
            ->type_name("");
        sub_->add_flag("--clear", clear_,
                       "clear the screen first, so it shows exactly the picture (else the picture's dark pixels "
                       "are drawn over what is there)");
        sub_->add_option("--wait", wait_, "seconds to wait for the terminal to confirm the picture (1..60, default 2)")
            ->check(within(1, 60));
    }
    bool parsed() const override { return sub_->parsed(); }
    int wait_seconds() const override { return wait_; }

    int prepare() override {
        char tail = 0;
        if (std::sscanf(at_.c_str(), "%d,%d%c", &x_, &y_, &tail) != 2 || x_ < 0 || x_ >= kWidth || y_ < 0 ||
            y_ >= kHeight) {
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
        const std::map<std::string, Fit> fits = {{"screen", Fit::Screen}, {"shrink", Fit::Shrink}, {"none", Fit::None}};
        size_ = draw_image_fitted(wanted_, x_, y_, picture, dithers.at(dither_), threshold_, fits.at(fit_));
        return 0;
    }

    bool send(VQ6120_HANDLE handle) override {
        sent_ = send_drawing(handle, clear_, false, [this](CommandSink sink, void *context) noexcept {
            encode(Plane{}, wanted_.plane(), {}, EncodeOptions{}, sink, context);
        });
        return sent_.accepted;
    }

    std::string summary() const override {
        return std::to_string(size_.first) + "x" + std::to_string(size_.second) + " at " + std::to_string(x_) + "," +
               std::to_string(y_) + ": " + std::to_string(sent_.commands) + " commands, " +
               std::to_string(sent_.bytes) + " bytes";
    }

private:
    CLI::App *sub_ = nullptr;
    std::string file_;
    std::string dither_ = "floyd-steinberg";
    int threshold_ = 128;
    std::string at_ = "0,0";
    std::string fit_ = "screen";
    bool clear_ = false;
    int wait_ = 2;
    int x_ = 0, y_ = 0;
    Canvas wanted_;
    std::pair<int, int> size_;
    Sent sent_{};
};

}  // namespace

ImageCommand *ImageCommand::add(CLI::App &app) {
    static Image image(app);  // one per program run
    return &image;
}

}  // namespace vq6120::cli
