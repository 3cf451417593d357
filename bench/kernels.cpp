// Every kernel-table entry at every instruction-set level this CPU runs, on
// 1 Mi and 16 Mi float32 values, timed against a memcpy of the same N float32
// values measured in the same run. After Google Benchmark's own lines comes a
// table of medians (or of single runs without --benchmark_repetitions): ns per
// element and the ratio to memcpy per level, side by side, with the level the
// dispatcher uses for each entry.
//
//   kernel_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// The ratio is what travels between machines: quantize reads what memcpy
// reads, dequantize writes what it writes, a dot reads x as memcpy does (and
// a row kernel as many codes).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernels/dispatch.hpp"

namespace {

using velmar::simd::Kernels;
using velmar::simd::Level;
namespace simd = velmar::simd;

constexpr size_t kBlock = 32;
constexpr float kTolerance = 0.002f;
constexpr size_t kRowLen = 1024;  // the row kernels' rows: whole blocks

size_t packed_bytes(size_t n, uint32_t bits) { return (n * bits + 7) / 8; }

// Inputs shaped like model weights (spread about 0.03, blocks of varying
// loudness, rare outliers), their codes made once by the scalar table, and
// every output buffer written once up front so that no timing pays for
// first-touch page faults.
struct Data {
    size_t n, nb;
    std::vector<float> v, x, out, scales, zps, s4, ascales, azps, adscales, adzps, ws, wz, f16_out;
    std::vector<int32_t> codes, icodes;
    std::vector<uint8_t> q8, q4, q3, a4, a8, adaptive, scratch;
    std::vector<uint32_t> widths;
    std::vector<uint16_t> f16;

    explicit Data(size_t n_) : n(n_), nb((n_ + kBlock - 1) / kBlock) {
        std::mt19937 g(12345);
        std::normal_distribution<float> normal(0.0f, 0.03f);
        std::uniform_real_distribution<float> loud(0.25f, 4.0f);
        v.resize(n);
        x.resize(n);
        float gain = 1.0f;
        for (size_t i = 0; i < n; ++i) {
            if (i % kBlock == 0) gain = loud(g);
            v[i] = normal(g) * gain;
            if (g() % 4096 == 0) v[i] = normal(g) * 30.0f;
            x[i] = normal(g);
        }
        const Kernels& ref = simd::scalar_kernels();
        out.assign(n, 0.0f);
        codes.assign(n, 0);
        scales.assign(nb, 0.0f);
        zps.assign(nb, 0.0f);
        s4 = zps;
        ascales = zps;
        azps = zps;
        adscales = zps;
        adzps = zps;
        ws = zps;
        wz = zps;
        q8.assign(n, 0);
        q4.assign(packed_bytes(n, 4), 0);
        q3.assign(packed_bytes(n, 3), 0);
        a4.assign(packed_bytes(n, 4), 0);
        a8.assign(n, 0);
        ref.quantize_sym(v.data(), n, kBlock, 8, scales.data(), q8.data());
        ref.quantize_sym(v.data(), n, kBlock, 4, s4.data(), q4.data());
        ref.quantize_asym(v.data(), n, kBlock, 4, nullptr, ascales.data(), azps.data(), a4.data());
        widths.assign(nb, 0);
        ref.adaptive_widths(v.data(), n, kBlock, kTolerance, widths.data());
        size_t total = 0;
        for (size_t b = 0; b < nb; ++b) total += packed_bytes(std::min(kBlock, n - b * kBlock), widths[b]);
        adaptive.assign(total, 0);
        ref.quantize_asym(v.data(), n, kBlock, 0, widths.data(), adscales.data(), adzps.data(), adaptive.data());
        icodes.assign(n, 0);
        ref.unpack(q8.data(), 8, n, icodes.data());
        f16.assign(n, 0);
        ref.narrow_f16(v.data(), n, f16.data());
        f16_out.assign(n, 0.0f);
    }

    // The parts as rows of kRowLen values.
    velmar::simd::RowRun rows(const std::vector<uint8_t>& codes, const std::vector<float>& s, const float* z,
                              const uint32_t* w, uint32_t bits) const {
        return {codes.data(), s.data(), z, w, n / kRowLen, kRowLen, kBlock, bits, velmar::simd::Stored::F32,
                codes.size()};
    }
};

Data& data_of(size_t n) {
    static std::map<size_t, std::unique_ptr<Data>> all;
    auto& d = all[n];
    if (!d) d = std::make_unique<Data>(n);
    return *d;
}

// One timed case: which table entry it exercises and how.
struct Case {
    const char* name;
    const char* entry;
    size_t entry_offset;
    void (*run)(const Kernels&, Data&);
};

#define ENTRY(field) #field, offsetof(Kernels, field)

template <class T>
void keep(T value) {
    benchmark::DoNotOptimize(value);
}

const Case kCases[] = {
    {"absmax", ENTRY(absmax), [](const Kernels& k, Data& d) { keep(k.absmax(d.v.data(), d.n)); }},
    {"min_max", ENTRY(min_max),
     [](const Kernels& k, Data& d) {
         float lo, hi;
         k.min_max(d.v.data(), d.n, &lo, &hi);
         keep(lo + hi);
     }},
    {"quantize sym 8-bit", ENTRY(quantize_sym),
     [](const Kernels& k, Data& d) { k.quantize_sym(d.v.data(), d.n, kBlock, 8, d.ws.data(), d.q8.data()); }},
    {"quantize sym 4-bit", ENTRY(quantize_sym),
     [](const Kernels& k, Data& d) { k.quantize_sym(d.v.data(), d.n, kBlock, 4, d.ws.data(), d.q4.data()); }},
    {"quantize sym 3-bit", ENTRY(quantize_sym),
     [](const Kernels& k, Data& d) { k.quantize_sym(d.v.data(), d.n, kBlock, 3, d.ws.data(), d.q3.data()); }},
    {"asym codes 4-bit", ENTRY(asym_codes),
     [](const Kernels& k, Data& d) { k.asym_codes(d.v.data(), d.n, 30.0f, 0.5f, 4, d.codes.data()); }},
    {"quantize asym 4-bit", ENTRY(quantize_asym),
     [](const Kernels& k, Data& d) {
         k.quantize_asym(d.v.data(), d.n, kBlock, 4, nullptr, d.ws.data(), d.wz.data(), d.a4.data());
     }},
    {"quantize asym 8-bit", ENTRY(quantize_asym),
     [](const Kernels& k, Data& d) {
         k.quantize_asym(d.v.data(), d.n, kBlock, 8, nullptr, d.ws.data(), d.wz.data(), d.a8.data());
     }},
    {"adaptive widths", ENTRY(adaptive_widths),
     [](const Kernels& k, Data& d) { k.adaptive_widths(d.v.data(), d.n, kBlock, kTolerance, d.widths.data()); }},
    {"quantize adaptive", ENTRY(quantize_asym),
     [](const Kernels& k, Data& d) {
         k.quantize_asym(d.v.data(), d.n, kBlock, 0, d.widths.data(), d.ws.data(), d.wz.data(), d.adaptive.data());
     }},
    {"unpack 4-bit", ENTRY(unpack), [](const Kernels& k, Data& d) { k.unpack(d.q4.data(), 4, d.n, d.codes.data()); }},
    {"dequantize sym 8-bit", ENTRY(dequant_sym),
     [](const Kernels& k, Data& d) { k.dequant_sym(d.scales.data(), d.q8.data(), 8, kBlock, d.n, d.out.data()); }},
    {"dequantize sym 4-bit", ENTRY(dequant_sym),
     [](const Kernels& k, Data& d) { k.dequant_sym(d.s4.data(), d.q4.data(), 4, kBlock, d.n, d.out.data()); }},
    {"dequantize asym 4-bit", ENTRY(dequant_asym),
     [](const Kernels& k, Data& d) {
         k.dequant_asym(d.ascales.data(), d.azps.data(), d.a4.data(), 4, nullptr, kBlock, d.n, d.out.data());
     }},
    {"dequantize adaptive", ENTRY(dequant_asym),
     [](const Kernels& k, Data& d) {
         k.dequant_asym(d.adscales.data(), d.adzps.data(), d.adaptive.data(), 0, d.widths.data(), kBlock, d.n,
                        d.out.data());
     }},
    {"dot 8-bit", ENTRY(dot_i8),
     [](const Kernels& k, Data& d) { keep(k.dot_i8(d.scales.data(), d.q8.data(), kBlock, d.x.data(), d.n)); }},
    {"dot sym 4-bit", ENTRY(dot_sym),
     [](const Kernels& k, Data& d) { keep(k.dot_sym(d.s4.data(), d.q4.data(), 4, kBlock, d.x.data(), d.n)); }},
    {"dot asym 4-bit", ENTRY(dot_asym),
     [](const Kernels& k, Data& d) {
         keep(k.dot_asym(d.ascales.data(), d.azps.data(), d.a4.data(), 4, kBlock, d.x.data(), d.n));
     }},
    {"dot adaptive", ENTRY(dot_adaptive),
     [](const Kernels& k, Data& d) {
         keep(k.dot_adaptive(d.adscales.data(), d.adzps.data(), d.adaptive.data(), d.widths.data(), kBlock,
                             d.x.data(), d.n));
     }},
    {"fit blocks", ENTRY(fit_blocks),
     [](const Kernels& k, Data& d) {
         k.fit_blocks(d.v.data(), d.icodes.data(), d.n, kBlock, d.ws.data(), d.wz.data());
     }},
    // The row kernels: the same codes as rows of kRowLen values, one vector.
    {"rows dot 8-bit", ENTRY(rows_dot_i8),
     [](const Kernels& k, Data& d) { k.rows_dot_i8(d.rows(d.q8, d.scales, nullptr, nullptr, 8), d.x.data(), 1, d.out.data(), d.n / kRowLen); }},
    {"rows dot sym 4-bit", ENTRY(rows_dot_sym),
     [](const Kernels& k, Data& d) { k.rows_dot_sym(d.rows(d.q4, d.s4, nullptr, nullptr, 4), d.x.data(), 1, d.out.data(), d.n / kRowLen); }},
    {"rows dot asym 4-bit", ENTRY(rows_dot_asym),
     [](const Kernels& k, Data& d) {
         k.rows_dot_asym(d.rows(d.a4, d.ascales, d.azps.data(), nullptr, 4), d.x.data(), 1, d.out.data(), d.n / kRowLen);
     }},
    {"rows dot adaptive", ENTRY(rows_dot_adaptive),
     [](const Kernels& k, Data& d) {
         k.rows_dot_adaptive(d.rows(d.adaptive, d.adscales, d.adzps.data(), d.widths.data(), 0), d.x.data(), 1,
                             d.out.data(), d.n / kRowLen);
     }},
    {"widen f16", ENTRY(widen_f16), [](const Kernels& k, Data& d) { k.widen_f16(d.f16.data(), d.n, d.f16_out.data()); }},
    {"narrow f16", ENTRY(narrow_f16), [](const Kernels& k, Data& d) { k.narrow_f16(d.v.data(), d.n, d.f16.data()); }},
};

const size_t kSizes[] = {size_t{1} << 20, size_t{1} << 24};

std::string size_label(size_t n) { return std::to_string(n >> 20) + "M"; }

const void* entry_of(const Kernels& k, size_t offset) {
    const void* p;
    std::memcpy(&p, reinterpret_cast<const char*>(&k) + offset, sizeof p);
    return p;
}

// Collects one CPU time per benchmark name (on a shared machine wall time
// mostly measures the neighbours): the median when there are repetitions,
// else the single run.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (median || (r.run_type == Run::RT_Iteration && r.repetitions <= 1))
                ns[r.run_name.function_name] = r.GetAdjustedCPUTime();
        }
    }
};

std::string bench_name(const char* kernel, const char* level, size_t n) {
    return std::string(kernel) + "/" + level + "/" + size_label(n);
}

void print_table(const std::map<std::string, double>& ns, const std::vector<Level>& levels) {
    const Kernels& active = simd::active();
    std::printf("\nns per element (x memcpy of the same N float32 values, same run)\n");
    std::printf("%-22s %4s %8s", "kernel", "N", "memcpy");
    for (const Level l : levels) std::printf(" %17s", simd::level_name(l));
    std::printf("  dispatcher uses\n");
    for (const size_t n : kSizes) {
        const auto base = ns.find(bench_name("memcpy", "-", n));
        if (base == ns.end()) continue;
        const double per = static_cast<double>(n);
        for (const Case& c : kCases) {
            std::string row;
            char cell[64];
            bool any = false;
            double fastest = 0.0;
            Level fastest_level = levels.front();
            for (const Level l : levels) {
                const auto t = ns.find(bench_name(c.name, simd::level_name(l), n));
                if (t == ns.end()) {
                    std::snprintf(cell, sizeof cell, " %17s", "-");
                } else {
                    any = true;
                    std::snprintf(cell, sizeof cell, " %8.3f (%5.2fx)", t->second / per, t->second / base->second);
                    if (fastest == 0.0 || t->second < fastest) {
                        fastest = t->second;
                        fastest_level = l;
                    }
                }
                row += cell;
            }
            if (!any) continue;
            // The level whose entry is the one the active table holds.
            Level used = levels.front();
            for (const Level l : levels)
                if (entry_of(simd::kernels_at(l), c.entry_offset) == entry_of(active, c.entry_offset)) used = l;
            const char* why = used == levels.back() ? "widest level" : "per-kernel rule in dispatch.cpp";
            std::printf("%-22s %4s %8.3f%s  %s (%s", c.name, size_label(n).c_str(), base->second / per, row.c_str(),
                        simd::level_name(used), why);
            if (fastest_level != used) std::printf("; fastest here: %s", simd::level_name(fastest_level));
            std::printf(")\n");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Level> levels = simd::supported_levels();
    for (const size_t n : kSizes) {
        benchmark::RegisterBenchmark(bench_name("memcpy", "-", n).c_str(), [n](benchmark::State& st) {
            Data& d = data_of(n);
            for (auto _ : st) {
                std::memcpy(d.out.data(), d.v.data(), n * sizeof(float));
                benchmark::ClobberMemory();
            }
        })->Unit(benchmark::kMicrosecond);
        for (const Case& c : kCases) {
            for (const Level l : levels) {
                const Case* cp = &c;
                benchmark::RegisterBenchmark(bench_name(c.name, simd::level_name(l), n).c_str(),
                                             [cp, l, n](benchmark::State& st) {
                                                 Data& d = data_of(n);
                                                 const Kernels& k = simd::kernels_at(l);
                                                 for (auto _ : st) {
                                                     cp->run(k, d);
                                                     benchmark::ClobberMemory();
                                                 }
                                             })
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    // The table's times are in the unit the runs were reported in: microseconds.
    std::map<std::string, double> ns;
    for (const auto& [name, us] : collector.ns) ns[name] = us * 1000.0;
    print_table(ns, levels);
    std::printf("\ndispatcher: table level %s of", simd::level_name(simd::active().level));
    for (const Level l : levels) std::printf(" %s", simd::level_name(l));
    std::printf("\n");
}
