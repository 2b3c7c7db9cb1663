#include "image_command.hpp"

namespace vq6120::cli {

ImageCommand *ImageCommand::add(CLI::App &) { return nullptr; }

}  // namespace vq6120::cli
