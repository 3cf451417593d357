// refine and fit_scale_and_zero_point: both keep the interpreter lock.
#include "learned.hpp"

#include "error.hpp"
#include "input.hpp"
#include "methods/learned.hpp"
#include "quantized/inner.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"

namespace velmar::py {
namespace {

constexpr Param kRefineParams[] = {{"quantized", true}, {"values", true}};
constexpr Param kFitParams[] = {{"values", true}, {"codes", true}};

}  // namespace

PyObject* refine_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[2];
        bind({"refine()", kRefineParams}, args, nargs, kwnames, a);
        PyQuantized* q = arg_quantized(a[0], "quantized");
        F32Values values = as_f32_values(a[1]);
        WriteBorrow hold(q);
        std::visit(
            [&](auto& t) {
                if (values.size() != t.len) raise_core_error(length_mismatch(t.len, values.size()));
                if (t.len > 0) refine(t, values.span());
            },
            hold.inner());
        Py_INCREF(a[0]);
        return a[0];
    });
}

PyObject* fit_scale_and_zero_point_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[2];
        bind({"fit_scale_and_zero_point()", kFitParams}, args, nargs, kwnames, a);
        F32Values values = as_f32_values(a[0]);
        const std::vector<int32_t> codes = as_i32_codes(a[1]);
        if (values.size() != codes.size()) raise_core_error(length_mismatch(values.size(), codes.size()));
        const auto [scale, zero_point] = fit_scale_and_zero_point(values.span(), codes);
        return Ref::check(Py_BuildValue("(dd)", static_cast<double>(scale), static_cast<double>(zero_point)))
            .release();
    });
}

}  // namespace velmar::py
