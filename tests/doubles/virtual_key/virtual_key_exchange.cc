// The key's side of the key exchange. Until it is written the key refuses the
// command.
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::testing {

void VirtualKey::handleKeyExchange(const ReceivedRequest& request) { queue(request, 1, {}, false); }

}  // namespace korvene::testing
