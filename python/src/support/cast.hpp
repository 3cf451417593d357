#pragma once
// Values of other float types read a piece at a time as float32, each as
// NumPy's cast to float32 gives it.
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar::py {

// Rounds doubles to floats and notes whether any piece raised a
// floating-point exception: NumPy's cast would report it (a warning, or an
// error under np.errstate), so the caller casts through NumPy instead.
struct F64Cast {
    std::span<const double> values;
    bool raised = false;
    void operator()(size_t first, std::span<float> out);
};

// Widens binary16 or bfloat16 bit patterns, which every float holds exactly.
struct F16Widen {
    std::span<const uint16_t> values;
    bool brain = false;  // bfloat16
    void operator()(size_t first, std::span<float> out) const;
};

}  // namespace velmar::py
