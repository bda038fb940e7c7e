#pragma once

// Reads the test-vector files under tests/data/vectors: cases separated by blank
// lines, one "name = value" field a line, '#' lines are comments. Values are
// lower-case hexadecimal unless the field is text.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvene::testing {

using VectorCase = std::map<std::string, std::string>;

// All cases of a file in tests/data/vectors; fails the calling test (ADD_FAILURE)
// and returns nothing when the file cannot be read.
std::vector<VectorCase> loadVectorFile(const std::string& name);

// Hexadecimal text to bytes; an empty text is zero bytes.
std::vector<uint8_t> fromHex(const std::string& hex);
std::string toHex(const uint8_t* data, size_t length);
inline std::string toHex(const std::vector<uint8_t>& bytes) { return toHex(bytes.data(), bytes.size()); }

// Path of a file in the test-data folder.
std::string testDataPath(const std::string& relative);

}  // namespace korvene::testing
