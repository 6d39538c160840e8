#pragma once

#include <functional>
#include <optional>

namespace quelby::test {

// Runs body in a child process as user and group 65534, so that file
// permissions apply even when the tests run as root. Returns the body's exit
// status, or none when privileges cannot be dropped here.
std::optional<int> runUnprivileged(const std::function<int()>& body);

} // namespace quelby::test
