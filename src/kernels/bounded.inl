// The kernels of the bounded encoder (methods/bounded), one body for the
// scalar table and every twin: plain float arithmetic whose choices are bit
// masks, not branches, so that each level's compiler vectorizes the loops at
// its own width and every level computes the same bits. Include inside the
// per-level anonymous namespace, after shared/rules.hpp.

inline uint32_t bits_of(float f) { return __builtin_bit_cast(uint32_t, f); }
inline float float_of(uint32_t u) { return __builtin_bit_cast(float, u); }
inline float pick(bool c, float a, float b) {
    const uint32_t m = 0u - static_cast<uint32_t>(c);
    return float_of((bits_of(a) & m) | (bits_of(b) & ~m));
}
inline float magnitude(float x) { return float_of(bits_of(x) & 0x7FFFFFFFu); }

// x rounded to a whole number, ties to even: adding 2^23 rounds so in the
// default mode (x86-64 before SSE4.1 has no vector instruction for it).
inline float round_even(float x) {
    constexpr float kWhole = 0x1p23f;  // floats from here on are whole
    const float a = magnitude(x);
    const float r = float_of(bits_of((a + kWhole) - kWhole) | (bits_of(x) & 0x80000000u));
    return pick(a < kWhole, r, x);
}

// x limited to [lo, hi] in that order, a NaN anywhere coming through; with
// lo > hi it is hi.
inline float clip_through_nan(float x, float lo, float hi) {
    const float m = x != x || x > lo ? x : lo;
    return m != m || m < hi ? m : hi;
}

// A block's extremes and the sum of its values in steps, lane by lane (whole
// numbers below 2^24 add up exactly in any order).
struct StepSummary {
    float lo, hi, sum;
};

inline StepSummary summarize_steps(const float* __restrict x, size_t n, float inv) {
    constexpr size_t kLanes = 16;
    float lo[kLanes], hi[kLanes], sum[kLanes];
    for (size_t j = 0; j < kLanes; ++j) lo[j] = x[0], hi[j] = x[0], sum[j] = 0.0f;
    const auto add = [&](size_t j, float v) __attribute__((always_inline)) {
        lo[j] = pick(v < lo[j], v, lo[j]);
        hi[j] = pick(v > hi[j], v, hi[j]);
        sum[j] = sum[j] + round_even(v * inv);
    };
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (size_t j = 0; j < kLanes; ++j) add(j, x[i + j]);
    for (size_t j = 0; i < n; ++i, ++j) add(j, x[i]);
    // Halving, so that each step is one vector operation.
    for (size_t w = kLanes / 2; w > 0; w /= 2) {
        for (size_t j = 0; j < w; ++j) {
            lo[j] = pick(lo[j + w] < lo[j], lo[j + w], lo[j]);
            hi[j] = pick(hi[j + w] > hi[j], hi[j + w], hi[j]);
            sum[j] = sum[j] + sum[j + w];
        }
    }
    return {lo[0], hi[0], sum[0]};
}

// The block's mean in whole steps; beyond exact float sums the sum is taken
// in double, in order.
inline float mean_steps(const float* x, size_t n, float inv, float exact_sum, bool exact) {
    if (exact) return round_even(exact_sum / static_cast<float>(n));
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(round_even(x[i] * inv));
    return static_cast<float>(__builtin_nearbyint(sum / static_cast<double>(n)));
}

void k_centre_blocks(const float* v, size_t len, size_t block, float inv, bool exact_sums, float* centres,
                     uint8_t* wide) {
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const StepSummary s = summarize_steps(v + first, n, inv);
        // The range in steps as the block's 8-bit asymmetric parameters map it
        // to codes -128 and 127; a block of equal values has none and keeps
        // its mean.
        const AsymParams p = asym_params(s.lo, s.hi, 8);
        float low = __builtin_inff(), high = -__builtin_inff();
        if (!(p.scale == 1.0f && p.zero_point == 0.0f)) {
            low = round_even(-(p.zero_point + 128.0f) * p.scale * inv);
            high = round_even((127.0f - p.zero_point) * p.scale * inv);
        }
        const float mean = mean_steps(v + first, n, inv, s.sum, exact_sums);
        centres[b] = clip_through_nan(mean, high - 127.0f, low + 128.0f);
        wide[b] = high - low > 255.0f;
    });
}

void k_centred_codes(const float* v, size_t len, size_t block, float inv, const float* centres, int8_t* codes) {
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const float c = centres[b];
        const float* __restrict x = v + first;
        int8_t* __restrict out = codes + first;
        for (size_t i = 0; i < n; ++i) {
            float d = round_even(x[i] * inv) - c;
            d = pick(d < -128.0f, -128.0f, d);
            d = pick(d > 127.0f, 127.0f, d);
            d = pick(d == d, d, 0.0f);
            out[i] = static_cast<int8_t>(static_cast<int32_t>(d));
        }
    });
}

void k_blocks_within(const float* decoded, const float* v, size_t len, size_t block, float t, uint8_t* bad) {
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const float* __restrict d = decoded + first;
        const float* __restrict x = v + first;
        uint32_t miss = 0;
        for (size_t i = 0; i < n; ++i) miss |= !(magnitude(d[i] - x[i]) <= t);
        bad[b] = miss != 0;
    });
}
