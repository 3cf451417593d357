#include "support/cast.hpp"

#include <cfenv>

#include "kernels/block.hpp"
#include "shared/rules.hpp"

namespace velmar::py {

void F64Cast::operator()(size_t first, std::span<float> out) {
    constexpr int kReported = FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO;
    const double* src = values.data() + first;
    std::feclearexcept(kReported);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(src[i]);
    raised |= std::fetestexcept(kReported) != 0;
}

void F16Widen::operator()(size_t first, std::span<float> out) const {
    const std::span<const uint16_t> in = values.subspan(first, out.size());
    if (!brain) return widen_f16(in, out);
    for (size_t i = 0; i < in.size(); ++i) out[i] = widen_bf16(in[i]);
}

}  // namespace velmar::py
