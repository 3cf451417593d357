#include "methods/bounded.hpp"

#include "kernels/block.hpp"
#include "shared/error.hpp"
#include "shared/rules.hpp"
#include "shared/scale.hpp"

namespace velmar::bounded {
namespace {

// Values coded, then decoded in one call and checked, while in cache.
constexpr size_t kGroup = 4096;

}  // namespace

template <class T>
std::vector<int64_t> centred_codes(std::span<const float> values, size_t block, const Grid& grid,
                                   std::span<int8_t> codes, std::span<T> zero_points) {
    const size_t len = values.size(), blocks = zero_points.size();
    require(block >= 1 && codes.size() == len && blocks == block_count(len, block),
            "centred_codes: parts do not fit the values");
    const float inv = 1.0f / grid.step;
    // A group is whole blocks, or one block longer than a group, which is
    // then coded, decoded and checked a group's length at a time.
    const size_t per_group = block < kGroup ? kGroup / block : 1;
    const size_t most = min_size(per_group, blocks);
    std::vector<float> centres(most), decoded(min_size(kGroup, len));
    std::vector<uint8_t> wide(most), bad(most);
    const std::vector<T> scales(most, from_f32<T>(grid.step));
    std::vector<int64_t> failing;
    for (size_t b0 = 0; b0 < blocks; b0 += per_group) {
        const size_t nb = min_size(per_group, blocks - b0);
        const size_t f0 = b0 * block, f1 = min_size(f0 + nb * block, len);
        centre_blocks(values.subspan(f0, f1 - f0), block, inv, grid.exact_sums, std::span(centres).first(nb),
                      std::span(wide).first(nb));
        for (size_t j = 0; j < nb; ++j) {
            // The codes are centred on what the zero point stores.
            zero_points[b0 + j] = from_f32<T>(-(__builtin_isfinite(centres[j]) ? centres[j] : 0.0f));
            centres[j] = -to_f32(zero_points[b0 + j]);
        }
        bool miss = false;
        for (size_t s0 = f0; s0 < f1; s0 += kGroup) {
            const size_t n = min_size(kGroup, f1 - s0), piece = min_size(block, n), pb = block_count(n, piece);
            const size_t first = s0 / block;  // the piece's first block
            const std::span<const float> x = values.subspan(s0, n);
            const std::span<int8_t> c = codes.subspan(s0, n);
            velmar::centred_codes(x, piece, inv, std::span(centres).subspan(first - b0, pb), c);
            const Rows<T> view{{Kind::Asymmetric, 8, piece}, 1, n,
                               {reinterpret_cast<const uint8_t*>(c.data()), n}, std::span(scales).first(pb),
                               zero_points.subspan(first, pb), {}};
            decode_rows(view, std::span(decoded).first(n));
            blocks_within(std::span(decoded).first(n), x, piece, grid.threshold, std::span(bad).first(pb));
            for (size_t j = 0; j < pb; ++j) miss |= bad[j] != 0;
            if (block > kGroup) continue;
            for (size_t j = 0; j < pb; ++j)
                if (bad[j] || wide[j]) failing.push_back(static_cast<int64_t>(b0 + j));
        }
        if (block > kGroup && (miss || wide[0])) failing.push_back(static_cast<int64_t>(b0));
    }
    return failing;
}

template std::vector<int64_t> centred_codes<f32>(std::span<const float>, size_t, const Grid&, std::span<int8_t>,
                                                 std::span<f32>);
template std::vector<int64_t> centred_codes<f16>(std::span<const float>, size_t, const Grid&, std::span<int8_t>,
                                                 std::span<f16>);
template std::vector<int64_t> centred_codes<bf16>(std::span<const float>, size_t, const Grid&, std::span<int8_t>,
                                                  std::span<bf16>);

}  // namespace velmar::bounded
