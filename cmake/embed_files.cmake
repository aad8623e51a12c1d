# Writes a C++ source holding files as byte arrays, so a program serves them
# from itself. Run as: cmake -DOUT=file.cpp -DFILES="a;b" -P embed_files.cmake
# Each file becomes one entry of host::web_assets, named by its file name.
set(body "// Generated from the files named below; edit those instead.\n#include \"host/web/web_assets.h\"\n\nnamespace host {\n\nnamespace {\n")
set(entries "")
set(index 0)
foreach(path ${FILES})
  get_filename_component(name ${path} NAME)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "// ${name}\nconst unsigned char file${index}[] = {${bytes}0};\n")
  string(APPEND entries "    {\"${name}\", reinterpret_cast<const char*>(file${index}), ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "\n}  // namespace\n\nconst std::vector<WebAsset>& web_assets() {\n  static const std::vector<WebAsset> assets = {\n${entries}  };\n  return assets;\n}\n\n}  // namespace host\n")
file(WRITE ${OUT}.tmp "${body}")
file(RENAME ${OUT}.tmp ${OUT})
