#include "tests/support/child_environment.h"

#include <algorithm>
#include <string_view>

extern char** environ;

namespace korvene::testing {

namespace {

std::string_view nameOf(std::string_view entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

std::vector<std::string> childEnvironment(const std::vector<std::string>& own,
                                          const std::vector<std::string>& leftOut) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view name = nameOf(*entry);
        const bool replaced = std::any_of(own.begin(), own.end(),
                                          [name](const std::string& mine) { return nameOf(mine) == name; });
        const bool dropped = std::find(leftOut.begin(), leftOut.end(), name) != leftOut.end();
        if (!replaced && !dropped) entries.emplace_back(*entry);
    }
    entries.insert(entries.end(), own.begin(), own.end());
    return entries;
}

std::vector<char*> nullTerminatedPointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace korvene::testing
