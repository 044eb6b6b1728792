#include "FuzzSupport.h"

#include <limits>

#include "Logger.h"

namespace fuzz {

void quietLog() {
    // Never rotated: /dev/null does not grow.
    Logger::setLogFile("/dev/null", std::numeric_limits<long>::max(), 0);
}

}  // namespace fuzz
