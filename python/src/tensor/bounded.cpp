#include "tensor/bounded.hpp"

#include <cmath>
#include <optional>

#include "methods/bounded.hpp"
#include "shared/rules.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/quantized.hpp"
#include "tensor/buffers.hpp"

namespace velmar::py {
namespace {

constexpr auto kCentredCodes = signature(nullptr, "centred_codes", "values", "block", "step", "threshold",
                                         "exact_sums", "scale", "codes", "zero_points");

// Fills codes (int8, one per value) and zero_points (one per block, of the
// scale type) and returns the blocks that fail, as int64.
PyObject* centred_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kCentredCodes, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const size_t block = arg_usize(a[1], "block");
        if (block == 0) raise(PyExc_ValueError, "block: expected at least 1");
        const bounded::Grid grid{arg_f32(a[2], "step"), arg_f32(a[3], "threshold"), PyObject_IsTrue(a[4]) == 1};
        if (PyErr_Occurred()) throw_error_set();
        if (!(grid.step > 0.0f && std::isfinite(grid.step)))
            raise(PyExc_ValueError, "step: expected a positive finite float32");
        const uint32_t scale = arg_u32(a[5], "scale");
        if (scale > 2) raise(PyExc_ValueError, "scale: expected 0 (f32), 1 (f16) or 2 (bf16)");
        const Buffer codes(a[6], "codes", true), zero_points(a[7], "zero_points", true);
        const std::span<const float> v = values.floats(values.as<float>().size());
        const std::span<int8_t> c = codes.as<int8_t>();
        if (c.size() != v.size()) raise_for("codes", CoreError::length_mismatch(v.size(), c.size()));
        return with_scale_type(static_cast<int>(scale), [&]<class T>(std::type_identity<T>) {
            const std::span<T> z = zero_points.as<T>();
            const size_t blocks = block_count(v.size(), block);
            if (z.size() != blocks) raise_for("zero_points", CoreError::length_mismatch(blocks, z.size()));
            std::optional<std::vector<int64_t>> failing;
            {
                GilRelease unlocked;
                failing = bounded::centred_codes<T>(v, block, grid, c, z);
            }
            return blob(std::move(*failing)).release();
        });
    });
}

}  // namespace

PyMethodDef kBoundedFunctions[] = {
    method_def(kCentredCodes, centred_codes),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmar::py
