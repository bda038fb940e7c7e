#include "tests/tool/virtual_key_session.h"

#include <algorithm>
#include <vector>

#include "device/session/frame.h"

namespace korvene::testing {

bool VirtualKeySession::open() {
    enumerator.scan();
    session = KeySession::create(enumerator, 0);
    if (!session || !session->initialize()) return false;
    requestsAtStart = key.numberedRequests();
    return true;
}

std::string VirtualKeySession::requestsSinceOpen() const {
    std::vector<uint8_t> commands;
    for (const ReceivedRequest& request : key.requests) {
        if (request.wellFormed && !request.resync) commands.push_back(request.command);
    }
    std::string summary;
    for (size_t i = std::min(requestsAtStart, commands.size()); i < commands.size();) {
        size_t run = 1;
        while (i + run < commands.size() && commands[i + run] == commands[i]) ++run;
        if (!summary.empty()) summary += ' ';
        summary += commandName(commands[i]);
        if (run > 1) summary += "*" + std::to_string(run);
        i += run;
    }
    return summary;
}

}  // namespace korvene::testing
