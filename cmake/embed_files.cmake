# Writes a C++ source that holds files as byte arrays, for programs that serve
# them without reading anything at run time.
# Run as: cmake -DOUTPUT=out.cpp -DBASE=dir -DPREFIX=/web/ -DFILES="a;b" -P embed_files.cmake
set(entries "")
set(arrays "")
set(index 0)
foreach(file IN LISTS FILES)
  file(READ "${BASE}/${file}" content HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
  get_filename_component(extension "${file}" LAST_EXT)
  set(type "application/octet-stream")
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  endif()
  string(APPEND arrays "constexpr char kFile${index}[] = {${bytes}'\\0'};\n")
  string(APPEND entries
         "    {\"${PREFIX}${file}\", \"${type}\", std::string_view(kFile${index}, sizeof kFile${index} - 1)},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/embed_files.cmake; do not edit.
#include \"tools/receiver/web_assets.h\"

namespace skald::tools {

namespace {
${arrays}
constexpr WebAsset kAssets[] = {
${entries}};
}  // namespace

std::span<const WebAsset> webAssets() {
    return kAssets;
}

}  // namespace skald::tools
")
# Rewrite only on change so that unchanged files do not recompile.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
