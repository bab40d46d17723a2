#pragma once

#include "python/pyref.hpp"

#include <span>

namespace tq::py {

// get_api_version, get_api_version_string, format_ean, create_client, in
// publishing order.
std::span<PyMethodDef> module_functions();
// Functions added beside the published ones, not listed in __all__: trace_to,
// diagnostics_to_logging.
std::span<PyMethodDef> added_functions();

// python/interrupt.cpp: which thread runs signal handlers, and
// _interrupt_thread(thread_ident, stop), which sets or clears that thread's
// stop request.
void note_main_thread(unsigned long ident) noexcept;
PyObject* interrupt_thread(PyObject*, PyObject* args) noexcept;

}  // namespace tq::py
