# Writes OUTPUT, a C++ source holding the files given in FILES (separated by
# '|') as the table of web/assets.hpp. Run by the build whenever one changes.
string(REPLACE "|" ";" FILES "${FILES}")
set(entries "")
set(arrays "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  get_filename_component(ext ${file} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    message(FATAL_ERROR "no content type for ${file}")
  endif()
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char asset${index}[] = {${bytes}0};\n")
  string(APPEND entries "    {\"/${name}\", \"${type}\", {reinterpret_cast<const char *>(asset${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from tools/vq6120-sim/web/page by web/embed.cmake: do not edit.
#include \"web/assets.hpp\"

namespace vq6120::sim {
namespace {
${arrays}
const WebAsset kAssets[] = {
${entries}};
}  // namespace

std::span<const WebAsset> web_assets() { return kAssets; }

}  // namespace vq6120::sim
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
