#pragma once

// The descriptors the emulated key presents: its device descriptor followed by
// its one configuration (one interface, the key model's bulk endpoints), as the
// kernel lays them out in the sysfs attribute `descriptors`.

#include <cstdint>
#include <string>
#include <vector>

namespace korvene::testing {

class VirtualKey;

// Device descriptor with the key's vendor and product ID, then the whole first
// configuration: every OUT endpoint of the model, then every IN endpoint, all
// bulk with the model's packet size.
std::vector<uint8_t> keyDescriptors(const VirtualKey& key);

// Upper-case hexadecimal, as the device records of umockdev want it.
std::string upperHex(const std::vector<uint8_t>& bytes);

}  // namespace korvene::testing
