// refine and fit_scale_and_zero_point: both keep the interpreter lock.
#include "learned.hpp"

#include "error.hpp"
#include "input.hpp"
#include "methods/learned.hpp"
#include "quantized/inner.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"

namespace velmar::py {

PyObject* refine_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind(kRefine, args, nargs, kwnames);
        arg_quantized(a[0], "quantized");
        // The lock stays held throughout, so a float32 array is read where it is.
        F32Values values = as_f32_values_in_place(a[1]);
        WriteBorrow hold(a[0]);
        std::visit(
            [&]<class T>(const Quantized<T>& current) {
                if (values.size() != current.len) raise_core_error(length_mismatch(current.len, values.size()));
                if (current.len == 0) return;
                // Readers may still hold the current value: refit a new one and swap it in.
                hold.replace(QuantizedInner(refined(current, values.span())));
            },
            hold.inner());
        Py_INCREF(a[0]);
        return a[0];
    });
}

PyObject* fit_scale_and_zero_point_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind(kFit, args, nargs, kwnames);
        const F32Values values = as_f32_values_in_place(a[0]);
        const I32Codes codes = as_i32_codes(a[1]);
        if (values.size() != codes.size()) raise_core_error(length_mismatch(values.size(), codes.size()));
        const auto [scale, zero_point] = fit_scale_and_zero_point(values.span(), codes.span());
        return Ref::check(Py_BuildValue("(dd)", static_cast<double>(scale), static_cast<double>(zero_point)))
            .release();
    });
}

}  // namespace velmar::py
