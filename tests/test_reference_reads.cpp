// The reader on a checked-in table of reference frames (reference_reads.txt):
// each line paints a frame and says what the reader reads from it, so that any
// change of behaviour shows in the table's diff. After a deliberate change,
// rewrite the table with DRAXION_WRITE_REFERENCE=1 and review the diff. (Strings
// are built by append: GCC 12 at -O3 warns falsely of overlapping copies in
// operator+ chains.)
#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "recognition/field_reader.h"
#include "support/frame_painter.h"
#include "support/glyph_tables.h"

namespace {

// "bands" (fields in bands to the right edge, primary), "grey" (the same in the
// alternate rendering), or "dialog c1 ... c6" (boxes, first characters at those
// columns); then "| text" for each of the six fields.
capture_frame painted(const std::string& layout, const std::string (&texts)[6]) {
    if (layout.rfind("dialog", 0) == 0) {
        std::istringstream words(layout.substr(6));
        std::int32_t columns[6];
        for (std::int32_t& c : columns) words >> c;
        return dialog_frame(texts, columns);
    }
    capture_frame frame = blank_frame(300, 400);
    const rendering r = layout.rfind("grey", 0) == 0 ? rendering::alternate : rendering::primary;
    for (int k = 0; k < axis_field_count; ++k)
        draw_field(frame, real_glyphs(), first_field_row + field_pitch * k, first_search_column, texts[k], r);
    return frame;
}

std::string shortest(double v) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

}  // namespace

TEST(ReferenceReads, TheTableIsWhatTheReaderReads) {
    const std::string path = std::string(GATEWAY_SOURCE_DIR).append("/tests/reference_reads.txt");
    std::ifstream in(path);
    ASSERT_TRUE(in) << "cannot read " << path;
    std::string written, line;
    int frames = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            written.append(line).append("\n");
            continue;
        }
        const std::size_t arrow = line.find(" =>");
        const std::string frame_part = line.substr(0, arrow);
        std::vector<std::string> parts;
        std::istringstream fields(frame_part);
        for (std::string p; std::getline(fields, p, '|');) parts.push_back(p);
        ASSERT_EQ(parts.size(), 7u) << "a layout and six texts: " << line;
        std::string texts[6];
        for (int k = 0; k < 6; ++k)
            texts[k] = parts[std::size_t(k) + 1].substr(1, parts[std::size_t(k) + 1].size() - 2);
        double values[axis_field_count];
        const std::uint32_t blank = read_axes(painted(parts[0], texts), real_glyphs(), values);
        std::string read = " =>";
        for (double v : values) read.append(" ").append(shortest(v));
        if (blank != 0) read.append(" (blank ").append(std::to_string(blank)).append(")");
        const std::string now = std::string(frame_part).append(read);
        if (std::getenv("DRAXION_WRITE_REFERENCE") == nullptr) {
            EXPECT_EQ(line, now);
        }
        written.append(now).append("\n");
        ++frames;
    }
    EXPECT_GE(frames, 10);
    if (std::getenv("DRAXION_WRITE_REFERENCE") != nullptr) std::ofstream(path) << written;
}
