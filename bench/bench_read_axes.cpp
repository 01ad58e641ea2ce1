// Time to read the six fields of one frame, production reader against the literal
// oracle, on a typical jog window, an all-white one, fields in boxes on a dialog
// face, and the worst case (a dark line under every field, so every field runs to
// 127 characters).
// The speedup rows time both in turn and give their ratio from one run.
//   build/native-release/bench/bench_read_axes --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <chrono>

#include "recognition/field_reader.h"
#include "support/frame_painter.h"
#include "support/oracle.h"

namespace {

capture_frame typical_frame() {
    const char* shown[axis_field_count] = {"125,4", "-37,0", "1024,9", "-0,5", "66,25", "-179,9"};
    capture_frame f = blank_frame(300, 420);
    for (int k = 0; k < axis_field_count; ++k)
        draw_field(f, real_glyphs(), first_field_row + field_pitch * k, 104 + 3 * k, shown[k],
                   k % 2 ? rendering::alternate : rendering::primary);
    return f;
}

capture_frame worst_frame() {
    capture_frame f = typical_frame();
    for (int k = 0; k < axis_field_count; ++k)
        fill_rect(f, 0, first_field_row + field_pitch * k + 2 + 12, f.width, 1, colour_dark);
    return f;
}

using reader = std::uint32_t (*)(const capture_frame&, const glyph_set&, double*);

void read_frame(benchmark::State& state, reader read, capture_frame (*make)()) {
    const capture_frame f = make();
    const glyph_set& set = real_glyphs();
    double values[axis_field_count];
    for (auto _ : state) {
        read(f, set, values);
        benchmark::DoNotOptimize(values);
        benchmark::ClobberMemory();
    }
}

capture_frame white_frame() { return blank_frame(300, 420); }

// Fields in white and grey boxes on a dialog face, right-aligned so that the first
// characters lie anywhere from column 101 to 159.
capture_frame dialog() {
    const std::string shown[axis_field_count] = {"125,4", "-37,0", "1024,9", "-0,5", "66,25", "-179,9"};
    return dialog_frame(shown, {101, 159, 113, 140, 127, 150});
}

// The reader and the oracle in turn within one benchmark, so that both see the
// machine in the same state (its speed drifts on a shared host): the ratio of
// their times is the speed-up.
void speedup(benchmark::State& state, capture_frame (*make)()) {
    using clock = std::chrono::steady_clock;
    const capture_frame f = make();
    const glyph_set& set = real_glyphs();
    double values[axis_field_count];
    constexpr int reads = 20;  // reader calls per oracle call, so both take similar time
    double reader_us = 0, oracle_us = 0;
    for (auto _ : state) {
        const auto start = clock::now();
        for (int i = 0; i < reads; ++i) {
            read_axes(f, set, values);
            benchmark::DoNotOptimize(values);
            benchmark::ClobberMemory();
        }
        const auto middle = clock::now();
        oracle::read_axes(f, set, values);
        benchmark::DoNotOptimize(values);
        benchmark::ClobberMemory();
        const auto end = clock::now();
        reader_us += std::chrono::duration<double, std::micro>(middle - start).count() / reads;
        oracle_us += std::chrono::duration<double, std::micro>(end - middle).count();
    }
    const double n = double(state.iterations());
    state.counters["reader_us"] = reader_us / n;
    state.counters["oracle_us"] = oracle_us / n;
    state.counters["speedup"] = oracle_us / reader_us;
}

void production(benchmark::State& state, capture_frame (*make)()) { read_frame(state, read_axes, make); }
void oracle(benchmark::State& state, capture_frame (*make)()) { read_frame(state, oracle::read_axes, make); }

BENCHMARK_CAPTURE(production, typical, typical_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(oracle, typical, typical_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(production, white, white_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(oracle, white, white_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(production, dialog, dialog)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(oracle, dialog, dialog)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(production, worst, worst_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(oracle, worst, worst_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(speedup, typical, typical_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(speedup, white, white_frame)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(speedup, dialog, dialog)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
