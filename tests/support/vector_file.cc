#include "tests/support/vector_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace korvene::testing {
namespace {

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument(std::string("not a hexadecimal digit: ") + c);
}

}  // namespace

std::string testDataPath(const std::string& relative) {
    return std::string(KORVENE_TEST_DATA_DIR) + "/" + relative;
}

std::vector<VectorCase> loadVectorFile(const std::string& name) {
    std::ifstream in(testDataPath("vectors/" + name));
    if (!in) {
        ADD_FAILURE() << "cannot read test vectors " << name;
        return {};
    }
    std::vector<VectorCase> cases(1);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '#') continue;
        if (trim(line).empty()) {
            if (!cases.back().empty()) cases.emplace_back();
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        cases.back()[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    if (cases.back().empty()) cases.pop_back();
    return cases;
}

std::vector<uint8_t> fromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd-length hexadecimal text");
    std::vector<uint8_t> bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(hexDigit(hex[2 * i]) << 4 | hexDigit(hex[2 * i + 1]));
    }
    return bytes;
}

std::string toHex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

}  // namespace korvene::testing
