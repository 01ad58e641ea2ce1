# The one place that names the glyph bitmaps: for glyph index i (the characters
# "0123456789-" in that order), the primary rendering (dark on white) is stored as
# resource glyph_primary_ids[i] in <id>.bmp, the alternate (light on grey) as
# glyph_alternate_ids[i]. From this table the build writes the Windows resource
# script and the C++ header the loader and the generator include.
set(glyph_primary_ids 103 104 105 106 107 108 109 110 111 112 113)
set(glyph_alternate_ids 118 119 120 121 122 123 124 125 126 127 128)

set(glyph_ids ${glyph_primary_ids} ${glyph_alternate_ids})
set(glyph_files "")
foreach(id IN LISTS glyph_ids)
  list(APPEND glyph_files ${CMAKE_CURRENT_LIST_DIR}/${id}.bmp)
endforeach()

set(glyph_generated_dir ${CMAKE_BINARY_DIR}/generated)
string(REPLACE ";" ", " primary_list "${glyph_primary_ids}")
string(REPLACE ";" ", " alternate_list "${glyph_alternate_ids}")
file(CONFIGURE OUTPUT ${glyph_generated_dir}/glyph_resource_ids.h CONTENT
"// Generated from resources/glyphs/glyphs.cmake; do not edit.
#ifndef GENERATED_GLYPH_RESOURCE_IDS_H
#define GENERATED_GLYPH_RESOURCE_IDS_H

// Indexed by glyph index (\"0123456789-\").
inline constexpr int primary_resource_ids[] = {@primary_list@};
inline constexpr int alternate_resource_ids[] = {@alternate_list@};

#endif  // GENERATED_GLYPH_RESOURCE_IDS_H
" @ONLY)

set(rc_lines "")
foreach(id IN LISTS glyph_ids)
  string(APPEND rc_lines "${id} BITMAP \"${CMAKE_CURRENT_LIST_DIR}/${id}.bmp\"\n")
endforeach()
file(CONFIGURE OUTPUT ${glyph_generated_dir}/glyphs.rc CONTENT
"// Generated from resources/glyphs/glyphs.cmake; do not edit.
@rc_lines@" @ONLY)
