#pragma once

// One desktop notification about a scrub's problems, sent on the session bus
// to org.freedesktop.Notifications through sd-bus.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quelby::cli {

inline constexpr std::string_view kNotificationSummary = "Quelby found changed files";

// The body: the folder (escaped as in the report) and the number of open
// problems; with markup, <, > and & escaped too.
std::string notificationBody(std::string_view folder, std::int64_t problems, bool markup);

// Sends it with the hint desktop-entry co.mossgroveware.Quelby, as critical
// (it stays until dismissed: found damage is what nobody may miss). Asks the
// server's capabilities first, to know whether the body takes markup. The
// error says why when there is no bus or no server.
std::expected<void, std::string> notifyDesktop(std::string_view folder, std::int64_t problems);

} // namespace quelby::cli
