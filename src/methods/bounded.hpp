#pragma once
// The bulk of quantizing within an absolute error bound. Every block shares
// one scale, the step; its zero point is a whole number of steps near the
// block's mean, so that its 8-bit codes are small numbers centred on zero
// (what a following lossless compressor shrinks best). Each block is encoded,
// decoded and checked in one go while it is in cache; the few blocks that fail
// are left to the caller's fallbacks.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmar::bounded {

// What every block of one array shares.
struct Grid {
    float step;        // every block's scale (a number the scale type stores exactly)
    float threshold;   // a value passes when its decoded value is within threshold of it
    bool exact_sums;   // every block's codes add up exactly in float, in any order
};

// The 8-bit codes of every block of values (the last one may be shorter),
// around the whole number of steps nearest its mean that keeps the block's
// range within the codes, where the range allows; its zero point, minus that
// centre, stored as T. Returns, in order, the blocks whose range spans more
// than 255 steps or whose decoded values miss the threshold. Any values,
// finite or not, give codes; non-finite ones fail their block.
template <class T>
std::vector<int64_t> centred_codes(std::span<const float> values, size_t block, const Grid& grid,
                                   std::span<int8_t> codes, std::span<T> zero_points);

}  // namespace velmar::bounded
