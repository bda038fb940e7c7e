// The key's side of the firmware update requests. Until they are written the key
// refuses them.
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::testing {

void VirtualKey::handleSetupUpdate(const ReceivedRequest& request) { queue(request, 1, {}, false); }
void VirtualKey::handleWriteFirmware(const ReceivedRequest& request) { queue(request, 1, {}, false); }
void VirtualKey::handleGetFirmwareHash(const ReceivedRequest& request) { queue(request, 1, {}, false); }
void VirtualKey::handleDeployFirmware(const ReceivedRequest& request) { queue(request, 1, {}, false); }
void VirtualKey::handleFinishUpdate(const ReceivedRequest&) {}
void VirtualKey::handleCancelUpdate(const ReceivedRequest& request) { queue(request, 1, {}, false); }

}  // namespace korvene::testing
