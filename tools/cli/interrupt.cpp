#include "cli/interrupt.hpp"

namespace tq::cli {

bool interrupt_requested() {
    return os::stop_requested();
}

}  // namespace tq::cli
