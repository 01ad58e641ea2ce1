# Writes a C++ source that holds the given bitmap files as byte arrays, so the
# native build carries its glyph bitmaps inside the program as the Windows build
# does with its resources. Each file is named after its resource identifier.
# Usage: cmake -DOUTPUT=<file.cpp> -DINPUTS=<a.bmp;b.bmp;...> -P embed_resources.cmake
set(body "// Generated from resources/glyphs by cmake/embed_resources.cmake; do not edit.\n")
string(APPEND body "#include \"platform/sim/embedded_resources.h\"\n\nnamespace {\n")
set(table "")
foreach(input IN LISTS INPUTS)
  get_filename_component(id "${input}" NAME_WE)
  if(NOT id MATCHES "^[0-9]+$")
    message(FATAL_ERROR "resource file name is not a number: ${input}")
  endif()
  file(READ "${input}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char resource_${id}[] = {${bytes}};\n")
  string(APPEND table "    {${id}, resource_${id}, ${size}},\n")
endforeach()
string(APPEND body "}  // namespace\n\nconst embedded_resource embedded_resources[] = {\n${table}};\n")
string(APPEND body "const int embedded_resource_count = int(sizeof embedded_resources / sizeof embedded_resources[0]);\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
