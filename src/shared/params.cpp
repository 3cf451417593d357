#include "shared/params.hpp"

namespace velmar {

uint32_t choose_bits(float range, float tolerance) {
    if (range <= 0.0f) return 2;
    for (uint32_t w = 2; w <= 7; ++w) {
        const float d = static_cast<float>((1u << w) - 1u);
        const float half_step = (range / d) * 0.5f;
        if (half_step <= tolerance) return w;
    }
    return 8;
}

}  // namespace velmar
