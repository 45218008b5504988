#pragma once

#include <cstdint>
#include <limits>

#include "common/error.h"
#include "common/types.h"

namespace velto {

// Narrows a whole number to T, raising the overflow error when it does not fit.
template <typename T>
T CheckedNarrow(std::int64_t value) {
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
        Raise(kOverflow);
    }
    return static_cast<T>(value);
}

}  // namespace velto
