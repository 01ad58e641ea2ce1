// The production reader must give exactly the oracle's values, bit for bit, on
// every frame. Frames are generated from a fixed seed: realistic jog windows in
// both renderings, characters at the limits of every search window, probe rows of
// mixed colours, dark lines under fields, noise, fields in boxes on a dialog face,
// frames cut short at the right or bottom, empty frames, and now and then a glyph
// set of odd template sizes.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "recognition/field_reader.h"
#include "recognition/matcher.h"
#include "recognition/reader_paths.h"
#include "support/frame_painter.h"
#include "support/oracle.h"

namespace {

long frame_count = 3000;
constexpr std::uint64_t base_seed = 0x5EED0F6A7E3A11ULL;

// Colours that occur in the renderings, so noise can complete or spoil a match.
const pixel palette[] = {0xFFFFFF, 0x808080, 0x141414, 0xFFB96E, 0x6EB9FF, 0x6E146E, 0xB96E14,
                         0x146EB9, 0xACD6FF, 0xFFD6AC, 0xD6FFD6, 0xEBC1D6, 0x444494, 0x94DCFF};

class generator {
public:
    explicit generator(std::uint64_t seed) : rng_(seed) {}

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    pixel any_colour() {
        switch (uniform(0, 5)) {
        case 0: return colour_dark;
        case 1: return colour_grey;
        case 2: return colour_white;
        case 3: return pixel(std::uniform_int_distribution<std::uint32_t>()(rng_));  // top byte too
        default: return palette[uniform(0, int(std::size(palette)) - 1)];
        }
    }

    capture_frame frame(const glyph_set& set) {
        capture_frame f = sized_frame();
        if (f.pixels.empty()) return f;
        // Now and then a dialog: the fields in boxes on a face of another colour.
        dialog_ = chance(0.15);
        if (dialog_) fill_rect(f, 0, 0, f.width, f.height, chance(0.7) ? colour_dialog : any_colour());
        for (int k = 0; k < axis_field_count; ++k)
            if (chance(0.85)) field(f, set, first_field_row + field_pitch * k);
        if (chance(0.03)) {  // a dark line under one field: it reads 127 characters
            const std::int32_t y = first_field_row + field_pitch * uniform(0, 5) + 14 + uniform(0, 1);
            fill_rect(f, 0, y, f.width, 1, colour_dark);
        }
        for (int n = uniform(0, 3) == 0 ? uniform(0, 60) : 0; n > 0; --n)
            put_pixel(f, uniform(95, f.width), uniform(200, f.height), any_colour());
        return f;
    }

    // Eleven glyphs with templates of odd sizes (one pixel, wider than the search
    // window, taller than the probe offset; never empty: the loader refuses those)
    // in colours from the palette.
    glyph_set odd_glyph_set() {
        glyph_set s = glyph_set_of([this](int, glyph& g) {
            const std::int32_t w = chance(0.1) ? uniform(1, 70) : uniform(1, 9);
            const std::int32_t h = chance(0.1) ? uniform(1, 16) : uniform(1, 10);
            for (glyph_template* t : {&g.primary, &g.alternate}) {
                t->width = w;
                t->height = h;
                t->pixels.resize(std::size_t(w) * std::size_t(h));
                for (pixel& p : t->pixels) p = palette[uniform(0, 4)];
            }
        });
        prepare_glyph_set(s);
        return s;
    }

private:
    capture_frame sized_frame() {
        const int kind = uniform(0, 19);
        if (kind == 0) return blank_frame(uniform(0, 1) ? 0 : uniform(0, 300), uniform(0, 1) ? 0 : uniform(0, 420));
        if (kind == 1) return blank_frame(uniform(0, 260), uniform(200, 420));    // often too narrow
        if (kind == 2) return blank_frame(uniform(150, 300), uniform(330, 360));  // cut near the last field
        return blank_frame(uniform(180, 330), uniform(354, 420), chance(0.8) ? colour_white : any_colour());
    }

    void field(capture_frame& f, const glyph_set& set, std::int32_t y) {
        const rendering r = chance(0.5) ? rendering::primary : rendering::alternate;
        const std::int32_t drop = chance(0.6) ? 0 : chance(0.75) ? 1 : 2;
        std::int32_t x;
        switch (uniform(0, 9)) {
        case 0: x = 154 + uniform(0, 3); break;  // first character at the window's end
        case 1: x = 99 + uniform(0, 3); break;
        default: x = uniform(101, 150);
        }
        if (dialog_) {
            if (chance(0.5)) x = uniform(101, 159);
            draw_boxed_field(f, set, y, x - uniform(0, 8), f.width - uniform(0, 40), x, "", r, drop);
        } else {
            draw_field(f, set, y, x, "", r, drop);  // the background band alone
        }
        const std::int32_t top = y + 2 + drop;
        for (int n = uniform(0, 9); n > 0 && x < f.width; --n) {
            const int c = uniform(0, 13);
            if (c >= 11) {  // decimal separator: ink that no glyph matches
                put_pixel(f, x, top + 6 + uniform(0, 2), r == rendering::primary ? colour_dark : colour_white);
                x += 3;
                continue;
            }
            const glyph& g = set.glyphs[std::size_t(c)];
            draw_glyph(f, g, x, top + (chance(0.05) ? 1 : 0), chance(0.9) ? r : rendering(1 - int(r)));
            // Usually the next character follows closely; sometimes it sits at or
            // just beyond the furthest column that the next pass searches.
            const std::int32_t reach = search_span - 1 - 6;
            x += chance(0.9) ? g.primary.width + uniform(0, 2) : reach + uniform(-1, 3);
        }
        if (chance(0.2)) {  // probes of every kind under part of the field
            const std::int32_t probe_row = y + 14 + drop + uniform(-1, 1);
            for (int n = uniform(1, 20); n > 0; --n) put_pixel(f, uniform(100, 230), probe_row, any_colour());
        }
    }

    std::mt19937_64 rng_;
    bool dialog_ = false;
};

std::string describe(const double* v) {
    std::string s;
    char buf[64];
    for (int k = 0; k < axis_field_count; ++k) {
        std::snprintf(buf, sizeof buf, "%s%.17g (%016llx)", k ? ", " : "", v[k],
                      static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(v[k])));
        s += buf;
    }
    return s;
}

// Frames on which the reader and the oracle disagree (reported, at most five).
long disagreements_over_all_frames(const char* path) {
    const glyph_set& real = real_glyphs();
    long disagreements = 0;
    for (long n = 0; n < frame_count && disagreements < 5; ++n) {
        generator gen(base_seed + std::uint64_t(n));
        const bool odd = gen.chance(0.02);
        const glyph_set odd_set = odd ? gen.odd_glyph_set() : glyph_set{};
        const glyph_set& set = odd ? odd_set : real;
        const capture_frame f = gen.frame(set);
        double fast[axis_field_count], slow[axis_field_count];
        const std::uint32_t fast_blank = read_axes(f, set, fast), slow_blank = oracle::read_axes(f, set, slow);
        if (std::memcmp(fast, slow, sizeof fast) != 0 || fast_blank != slow_blank) {
            ++disagreements;
            ADD_FAILURE() << path << " reader, frame " << n << " (" << f.width << " x " << f.height
                          << (odd ? ", odd glyph set" : "") << ")\n production: " << describe(fast)
                          << "\n oracle:     " << describe(slow);
        }
    }
    std::printf("%ld frames compared on the %s reader\n", frame_count, path);
    return disagreements;
}

TEST(Differential, ProductionReaderAgreesWithTheOracleBitForBit) {
    // Each form the reader can take in this build on this processor.
    const std::pair<reader_path, const char*> paths[] = {
        {reader_path::avx2, "AVX2"}, {reader_path::sse2, "SSE2"}, {reader_path::plain, "plain"}};
    for (const auto& [path, name] : paths) {
        if (reader_use(path)) {
            EXPECT_EQ(disagreements_over_all_frames(name), 0);
        }
    }
    reader_use(reader_path::avx2) || reader_use(reader_path::sse2);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--frames=", 9) == 0) frame_count = std::strtol(argv[i] + 9, nullptr, 10);
    return RUN_ALL_TESTS();
}
