// The page's files (web/*.html, *.js, *.css), built into the program by a
// generated source file so the simulator serves them with nothing beside it.
#pragma once

#include <span>
#include <string_view>

namespace vq6120::sim {

struct WebAsset {
    std::string_view path;  // e.g. "/live.js"; the page itself is "/index.html"
    std::string_view type;  // the Content-Type
    std::string_view body;
};

std::span<const WebAsset> web_assets();

}  // namespace vq6120::sim
