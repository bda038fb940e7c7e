#include "device/session/session_keys.h"

#include "device/session/wipe.h"

namespace korvene {

void SessionKeysDeleter::operator()(SessionKeys* keys) const {
    if (keys == nullptr) return;
    wipeBuffer(keys, sizeof(SessionKeys));
    delete keys;
}

}  // namespace korvene
