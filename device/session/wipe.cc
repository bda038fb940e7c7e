#include "device/session/wipe.h"

#include <string.h>

namespace korvene {

void wipeBuffer(void* buffer, size_t length) {
    if (length == 0) return;
    // explicit_bzero is never optimised away, unlike a memset before a free.
    explicit_bzero(buffer, length);
}

}  // namespace korvene
