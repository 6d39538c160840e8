#pragma once

// Telling the service manager how a scrub goes (sd_notify): READY=1 as it
// starts, then STATUS= with its progress at most once a second. Outside a
// service (no NOTIFY_SOCKET) nothing is sent.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quelby::cli {

// "Verified 1,234 of 5,678 due files in /home/ada/Pictures"; folder escaped as in the report.
std::string serviceStatusText(std::int64_t verified, std::int64_t due, std::string_view folder);

class ServiceStatus
{
public:
    using Clock = std::function<std::int64_t()>; // milliseconds, monotonic
    explicit ServiceStatus(Clock clock = {});
    void ready();
    // Sent when a second has passed since the last STATUS, or when force is set.
    void progress(std::int64_t verified, std::int64_t due, std::string_view folder,
                  bool force = false);

private:
    Clock clock_;
    std::int64_t lastSentMs_ = -1;
};

} // namespace quelby::cli
