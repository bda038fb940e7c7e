#pragma once

// The environment a test hands to a program it starts: the test's own entries
// win over inherited ones of the same name, whatever the caller's environment
// holds (an inherited ASAN_OPTIONS must not undo the options a test sets).

#include <string>
#include <vector>

namespace korvene::testing {

// This process's environment without the entries named in `own` or in
// `leftOut`, followed by the `NAME=value` entries of `own` in their order.
// `leftOut` holds bare names ("LD_BIND_NOW").
std::vector<std::string> childEnvironment(const std::vector<std::string>& own,
                                          const std::vector<std::string>& leftOut = {});

// Pointers to `strings` followed by a null pointer, as execve and posix_spawn
// take an argument vector or an environment; valid while `strings` is neither
// changed nor destroyed.
std::vector<char*> nullTerminatedPointers(std::vector<std::string>& strings);

}  // namespace korvene::testing
