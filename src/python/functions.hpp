#pragma once

#include "python/pyref.hpp"

#include <span>

namespace tq::py {

// get_api_version, get_api_version_string, format_ean, create_client, in
// publishing order.
std::span<PyMethodDef> module_functions();

}  // namespace tq::py
