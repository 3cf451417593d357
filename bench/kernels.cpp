// Every kernel-table entry at every instruction-set level this CPU runs, on
// 1 Mi and 16 Mi float32 values, timed against a memcpy of the same N float32
// values measured in the same run; then, on 16 Mi values only, every width 2-16,
// adaptive records at three tolerances and odd and small blocks. After Google Benchmark's own lines comes a
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
#include <functional>
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
    std::vector<float> v, x, out, spare, scales, zps, s4, ascales, azps, a8scales, a8zps, adscales, adzps, ws, wz, f16_out;
    std::vector<int32_t> codes, icodes;
    std::vector<uint8_t> q8, q4, q3, a4, a8, adaptive, scratch;
    std::vector<uint32_t> widths, spare_widths;
    std::vector<uint16_t> f16;

    // Records made on demand by the active table (every level gives the same bytes).
    struct Encoded {
        std::vector<float> scales, zps;
        std::vector<uint8_t> bytes;
        std::vector<uint32_t> widths;
        size_t block;
        double mean_width;
    };
    std::map<std::string, Encoded> encoded;

    const Encoded& encode(char kind, uint32_t bits, size_t block, float tolerance = 0.0f) {
        const std::string key = std::string(1, kind) + std::to_string(bits) + "/" + std::to_string(block) + "/" +
                                std::to_string(tolerance);
        auto [it, fresh] = encoded.try_emplace(key);
        Encoded& e = it->second;
        if (!fresh) return e;
        const Kernels& k = simd::active();
        const size_t blocks = (n + block - 1) / block;
        e.block = block;
        e.scales.assign(blocks, 0.0f);
        e.zps.assign(blocks, 0.0f);
        if (kind == 'd') {
            e.widths.assign(blocks, 0);
            k.adaptive_params(v.data(), n, block, tolerance, e.widths.data(), e.scales.data(), e.zps.data());
            size_t total = 0, sum = 0;
            for (size_t b = 0; b < blocks; ++b) {
                total += packed_bytes(std::min(block, n - b * block), e.widths[b]);
                sum += e.widths[b];
            }
            e.mean_width = static_cast<double>(sum) / static_cast<double>(blocks);
            e.bytes.assign(total, 0);
            k.adaptive_codes(v.data(), n, block, e.widths.data(), e.scales.data(), e.zps.data(), e.bytes.data());
            return e;
        }
        e.bytes.assign(packed_bytes(n, bits), 0);
        if (kind == 's')
            k.quantize_sym(v.data(), n, block, bits, e.scales.data(), e.bytes.data());
        else
            k.quantize_asym(v.data(), n, block, bits, e.scales.data(), e.zps.data(), e.bytes.data());
        return e;
    }

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
        a8scales = zps;
        a8zps = zps;
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
        ref.quantize_asym(v.data(), n, kBlock, 4, ascales.data(), azps.data(), a4.data());
        ref.quantize_asym(v.data(), n, kBlock, 8, a8scales.data(), a8zps.data(), a8.data());
        widths.assign(nb, 0);
        ref.adaptive_params(v.data(), n, kBlock, kTolerance, widths.data(), adscales.data(), adzps.data());
        size_t total = 0;
        for (size_t b = 0; b < nb; ++b) total += packed_bytes(std::min(kBlock, n - b * kBlock), widths[b]);
        adaptive.assign(total, 0);
        ref.adaptive_codes(v.data(), n, kBlock, widths.data(), adscales.data(), adzps.data(), adaptive.data());
        icodes.assign(n, 0);
        ref.unpack(q8.data(), 8, n, icodes.data());
        f16.assign(n, 0);
        ref.narrow_f16(v.data(), n, f16.data());
        f16_out.assign(n, 0.0f);
        scratch.assign(2 * n + 64, 0);
        spare.assign(2 * n, 0.0f);
        spare_widths.assign(nb, 0);
        out.reserve(n + 64);
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
    std::string name;
    const char* entry;
    size_t entry_offset;
    std::function<void(const Kernels&, Data&)> run;
    bool big_only = false;  // 16 Mi values only
};

#define ENTRY(field) #field, offsetof(Kernels, field)

template <class T>
void keep(T value) {
    benchmark::DoNotOptimize(value);
}

const std::vector<Case> kBase = {
    {"absmax", ENTRY(absmax), [](const Kernels& k, Data& d) { keep(k.absmax(d.v.data(), d.n)); }},
    {"min_max", ENTRY(min_max),
     [](const Kernels& k, Data& d) {
         float lo, hi;
         k.min_max(d.v.data(), d.n, &lo, &hi);
         keep(lo + hi);
     }},
    {"asym codes 4-bit", ENTRY(asym_codes),
     [](const Kernels& k, Data& d) { k.asym_codes(d.v.data(), d.n, 30.0f, 0.5f, 4, d.codes.data()); }},
    {"adaptive params", ENTRY(adaptive_params),
     [](const Kernels& k, Data& d) {
         k.adaptive_params(d.v.data(), d.n, kBlock, kTolerance, d.widths.data(), d.ws.data(), d.wz.data());
     }},
    {"adaptive codes", ENTRY(adaptive_codes),
     [](const Kernels& k, Data& d) {
         k.adaptive_codes(d.v.data(), d.n, kBlock, d.widths.data(), d.adscales.data(), d.adzps.data(),
                          d.adaptive.data());
     }},
    {"dequantize adaptive", ENTRY(dequant_asym),
     [](const Kernels& k, Data& d) {
         k.dequant_asym(d.adscales.data(), d.adzps.data(), d.adaptive.data(), 0, d.widths.data(), kBlock, d.n,
                        d.out.data());
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
    {"rows dot asym 8-bit", ENTRY(rows_dot_asym),
     [](const Kernels& k, Data& d) {
         k.rows_dot_asym(d.rows(d.a8, d.a8scales, d.a8zps.data(), nullptr, 8), d.x.data(), 1, d.out.data(), d.n / kRowLen);
     }},
    {"rows dot adaptive", ENTRY(rows_dot_adaptive),
     [](const Kernels& k, Data& d) {
         k.rows_dot_adaptive(d.rows(d.adaptive, d.adscales, d.adzps.data(), d.widths.data(), 0), d.x.data(), 1,
                             d.out.data(), d.n / kRowLen);
     }},
    {"widen f16", ENTRY(widen_f16), [](const Kernels& k, Data& d) { k.widen_f16(d.f16.data(), d.n, d.f16_out.data()); }},
    {"narrow f16", ENTRY(narrow_f16), [](const Kernels& k, Data& d) { k.narrow_f16(d.v.data(), d.n, d.f16.data()); }},
};

// Adaptive tolerances giving mean widths near 3, 6 and 8 bits on these values
// (the table prints the mean).
const float kTolerances[] = {0.03f, 0.002f, 0.0001f};
const size_t kBlocks[] = {1, 2, 8, 16, 24, 32, 100, 4096};

std::vector<Case> all_cases() {
    std::vector<Case> cases = kBase;
    const auto add = [&](std::string name, const char* entry, size_t offset,
                         std::function<void(const Kernels&, Data&)> run) {
        // Widths 4 and 8 at both sizes, the rest at 16 Mi only.
        const bool common = name.find(" 4-bit") != std::string::npos || name.find(" 8-bit") != std::string::npos;
        cases.push_back({std::move(name), entry, offset, std::move(run), !common || name.find(" b") != std::string::npos});
    };
    for (uint32_t w = 2; w <= 16; ++w) {
        const std::string bits = " " + std::to_string(w) + "-bit";
        add("quantize sym" + bits, ENTRY(quantize_sym), [w](const Kernels& k, Data& d) {
            k.quantize_sym(d.v.data(), d.n, kBlock, w, d.ws.data(), d.scratch.data());
        });
        add("quantize asym" + bits, ENTRY(quantize_asym), [w](const Kernels& k, Data& d) {
            k.quantize_asym(d.v.data(), d.n, kBlock, w, d.ws.data(), d.wz.data(), d.scratch.data());
        });
        add("dequantize sym" + bits, ENTRY(dequant_sym), [w](const Kernels& k, Data& d) {
            const auto& e = d.encode('s', w, kBlock);
            k.dequant_sym(e.scales.data(), e.bytes.data(), w, kBlock, d.n, d.out.data());
        });
        add("dequantize asym" + bits, ENTRY(dequant_asym), [w](const Kernels& k, Data& d) {
            const auto& e = d.encode('a', w, kBlock);
            k.dequant_asym(e.scales.data(), e.zps.data(), e.bytes.data(), w, nullptr, kBlock, d.n, d.out.data());
        });
        // The library's 8-bit symmetric dot is the per-block one.
        if (w == 8) {
            add("dot sym" + bits, ENTRY(dot_i8), [](const Kernels& k, Data& d) {
                const auto& e = d.encode('s', 8, kBlock);
                keep(k.dot_i8(e.scales.data(), e.bytes.data(), kBlock, d.x.data(), d.n));
            });
        } else {
            add("dot sym" + bits, ENTRY(dot_sym), [w](const Kernels& k, Data& d) {
                const auto& e = d.encode('s', w, kBlock);
                keep(k.dot_sym(e.scales.data(), e.bytes.data(), w, kBlock, d.x.data(), d.n));
            });
        }
        add("dot asym" + bits, ENTRY(dot_asym), [w](const Kernels& k, Data& d) {
            const auto& e = d.encode('a', w, kBlock);
            keep(k.dot_asym(e.scales.data(), e.zps.data(), e.bytes.data(), w, kBlock, d.x.data(), d.n));
        });
        add("unpack" + bits, ENTRY(unpack), [w](const Kernels& k, Data& d) {
            k.unpack(d.encode('s', w, kBlock).bytes.data(), w, d.n, d.codes.data());
        });
    }
    for (const float tol : kTolerances) {
        char t[32];
        std::snprintf(t, sizeof t, " tol %g", static_cast<double>(tol));
        add(std::string("adaptive params") + t, ENTRY(adaptive_params), [tol](const Kernels& k, Data& d) {
            k.adaptive_params(d.v.data(), d.n, kBlock, tol, d.spare_widths.data(), d.ws.data(), d.wz.data());
        });
        add(std::string("adaptive codes") + t, ENTRY(adaptive_codes), [tol](const Kernels& k, Data& d) {
            const auto& e = d.encode('d', 0, kBlock, tol);
            k.adaptive_codes(d.v.data(), d.n, kBlock, e.widths.data(), e.scales.data(), e.zps.data(), d.scratch.data());
        });
        // As the library runs it: a chunk at a time, with room for the widest codes.
        add(std::string("quantize adaptive") + t, ENTRY(quantize_adaptive), [tol](const Kernels& k, Data& d) {
            constexpr size_t kChunk = 16384;
            uint8_t* out = d.scratch.data();
            for (size_t i = 0; i < d.n; i += kChunk) {
                const size_t m = std::min(kChunk, d.n - i), b = i / kBlock;
                out += k.quantize_adaptive(d.v.data() + i, m, kBlock, tol, d.spare_widths.data() + b, d.ws.data() + b,
                                           d.wz.data() + b, out);
            }
        });
        add(std::string("dequantize adaptive") + t, ENTRY(dequant_asym), [tol](const Kernels& k, Data& d) {
            const auto& e = d.encode('d', 0, kBlock, tol);
            k.dequant_asym(e.scales.data(), e.zps.data(), e.bytes.data(), 0, e.widths.data(), kBlock, d.n,
                           d.out.data());
        });
        add(std::string("dot adaptive") + t, ENTRY(dot_adaptive), [tol](const Kernels& k, Data& d) {
            const auto& e = d.encode('d', 0, kBlock, tol);
            keep(k.dot_adaptive(e.scales.data(), e.zps.data(), e.bytes.data(), e.widths.data(), kBlock, d.x.data(),
                                d.n));
        });
    }
    for (const size_t block : kBlocks) {
        const std::string b = " b" + std::to_string(block);
        add("quantize sym 4-bit" + b, ENTRY(quantize_sym), [block](const Kernels& k, Data& d) {
            k.quantize_sym(d.v.data(), d.n, block, 4, d.spare.data(), d.scratch.data());
        });
        add("quantize asym 4-bit" + b, ENTRY(quantize_asym), [block](const Kernels& k, Data& d) {
            k.quantize_asym(d.v.data(), d.n, block, 4, d.spare.data(), d.spare.data() + d.n,
                            d.scratch.data());
        });
        add("dequantize sym 4-bit" + b, ENTRY(dequant_sym), [block](const Kernels& k, Data& d) {
            const auto& e = d.encode('s', 4, block);
            k.dequant_sym(e.scales.data(), e.bytes.data(), 4, block, d.n, d.out.data());
        });
        add("dot sym 4-bit" + b, ENTRY(dot_sym), [block](const Kernels& k, Data& d) {
            const auto& e = d.encode('s', 4, block);
            keep(k.dot_sym(e.scales.data(), e.bytes.data(), 4, block, d.x.data(), d.n));
        });
        add("fit" + b, ENTRY(fit_blocks), [block](const Kernels& k, Data& d) {
            k.fit_blocks(d.v.data(), d.icodes.data(), d.n, block, d.spare.data(), d.spare.data() + d.n);
        });
        // What refine runs: the fit straight from the packed codes.
        add("fit packed 4-bit" + b, ENTRY(fit_packed), [block](const Kernels& k, Data& d) {
            const auto& e = d.encode('s', 4, block);
            k.fit_packed(d.v.data(), e.bytes.data(), 4, nullptr, d.n, block, d.spare.data(), d.spare.data() + d.n);
        });
    }
    return cases;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = all_cases();
    return all;
}

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

std::string bench_name(const std::string& kernel, const char* level, size_t n) {
    return std::string(kernel) + "/" + level + "/" + size_label(n);
}

void print_table(const std::map<std::string, double>& ns, const std::vector<Level>& levels) {
    const Kernels& active = simd::active();
    std::printf("\nns per element (x memcpy of the same N float32 values, same run)\n");
    std::printf("%-24s %4s %8s", "kernel", "N", "memcpy");
    for (const Level l : levels) std::printf(" %17s", simd::level_name(l));
    std::printf("  dispatcher uses\n");
    for (const size_t n : kSizes) {
        const auto base = ns.find(bench_name("memcpy", "-", n));
        if (base == ns.end()) continue;
        const double per = static_cast<double>(n);
        for (const Case& c : cases()) {
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
            // The level whose entry is the one the active table holds; none
            // when the dispatcher picks a level per call.
            const Level* used = nullptr;
            for (const Level& l : levels)
                if (entry_of(simd::kernels_at(l), c.entry_offset) == entry_of(active, c.entry_offset)) used = &l;
            std::printf("%-24s %4s %8.3f%s  ", c.name.c_str(), size_label(n).c_str(), base->second / per, row.c_str());
            if (used == nullptr) std::printf("by call (a rule in dispatch.cpp");
            else std::printf("%s (%s", simd::level_name(*used),
                             *used == levels.back() ? "widest level" : "per-kernel rule in dispatch.cpp");
            if (used == nullptr || fastest_level != *used) std::printf("; fastest here: %s", simd::level_name(fastest_level));
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
        for (const Case& c : cases()) {
            if (c.big_only && n != kSizes[1]) continue;
            for (const Level l : levels) {
                const Case* cp = &c;
                benchmark::RegisterBenchmark(bench_name(c.name, simd::level_name(l), n).c_str(),
                                             [cp, l, n](benchmark::State& st) {
                                                 Data& d = data_of(n);
                                                 const Kernels& k = simd::kernels_at(l);
                                                 cp->run(k, d);  // makes its inputs, touches its outputs
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
    for (const float tol : kTolerances)
        std::printf("adaptive tol %g: mean width %.2f bits\n", static_cast<double>(tol),
                    data_of(kSizes[1]).encode('d', 0, kBlock, tol).mean_width);
    std::printf("\ndispatcher: table level %s of", simd::level_name(simd::active().level));
    for (const Level l : levels) std::printf(" %s", simd::level_name(l));
    std::printf("\n");
}
