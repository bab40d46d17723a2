// The module-level functions. Their definitions live for the process because
// the function objects of every module object point at them.
#include "python/functions.hpp"

#include <cinttypes>
#include <cstdio>

#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/objects.hpp"

namespace tq::py {
namespace {

constexpr uint32_t kApiVersion[3] = {0, 2, 1};

PyObject* get_api_version(PyObject*, PyObject*) noexcept {
    return guarded([] {
        return Py_BuildValue("(kkk)", static_cast<unsigned long>(kApiVersion[0]),
                             static_cast<unsigned long>(kApiVersion[1]), static_cast<unsigned long>(kApiVersion[2]));
    });
}

PyObject* get_api_version_string(PyObject*, PyObject*) noexcept {
    return guarded([] {
        return PyUnicode_FromFormat("%lu.%lu.%lu", static_cast<unsigned long>(kApiVersion[0]),
                                    static_cast<unsigned long>(kApiVersion[1]),
                                    static_cast<unsigned long>(kApiVersion[2]));
    });
}

// The EAN's hexadecimal digits are its decimal digits; the check digit is
// printed in decimal so values past 9 show as 10..15 rather than a..f.
PyObject* format_ean(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 1> names{"ean"};
        std::array<PyObject*, 1> raw{};
        if (!parse_arguments(args, kwargs, "format_ean", names, raw)) return nullptr;
        UIntArg<uint64_t> ean;
        if (!ean.load(raw[0])) {
            prefix_type_error("argument '%s': ", "ean");
            return nullptr;
        }
        const uint64_t v = ean.get();
        char text[48];
        std::snprintf(text, sizeof text, "%02" PRIx64 "-%05" PRIx64 "-%05" PRIx64 "-%" PRIu64, (v >> 44) & 0xfff,
                      (v >> 24) & 0xfffff, (v >> 4) & 0xfffff, v & 0xf);
        return PyUnicode_FromString(text);
    });
}

PyObject* create_client(PyObject*, PyObject*) noexcept {
    return guarded([] { return new_object<Client>(Client{}); });
}

PyMethodDef function_defs[] = {
    {"get_api_version", method_fn(&get_api_version), METH_NOARGS,
     "get_api_version()\n--\n\nGets the version of this API\n\nReturns:\n    (int, int, int): A tuple with (major, "
     "minor, patch)"},
    {"get_api_version_string", method_fn(&get_api_version_string), METH_NOARGS,
     "get_api_version_string()\n--\n\nGets the version string of this api\n\nReturns:\n    (str): A string using "
     "semver format: X.X.X"},
    {"format_ean", method_fn(&format_ean), METH_VARARGS | METH_KEYWORDS,
     "format_ean(ean)\n--\n\nA helper function to format the given ean as:\nXX-XXXXX-XXXXX-X\n\nParameters:\n    "
     "ean (int): Ean to format\n\nReturns:\n    (str): A formatted string"},
    {"create_client", method_fn(&create_client), METH_NOARGS,
     "create_client()\n--\n\nCreates a client instance.\n\nReturns:\n    (Client): A new client"},
};

}  // namespace

std::span<PyMethodDef> module_functions() {
    return function_defs;
}

}  // namespace tq::py
