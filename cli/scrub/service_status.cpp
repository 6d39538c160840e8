#include "service_status.h"

#include "engine/text/display_text.h"

#include <chrono>
#include <systemd/sd-daemon.h>

namespace quelby::cli {

namespace {

constexpr std::int64_t kStatusIntervalMs = 1000;

// 1234567 → "1,234,567"
std::string withThousands(std::int64_t number)
{
    const bool negative = number < 0;
    std::string digits = std::to_string(number);
    if (negative) {
        digits.erase(0, 1);
    }
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return negative ? "-" + text : text;
}

std::int64_t monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Outside a service, and when the manager is gone, there is nobody to tell;
// the scrub goes on either way.
void notifyManager(const std::string& state)
{
    static_cast<void>(::sd_notify(0, state.c_str()));
}

} // namespace

std::string serviceStatusText(std::int64_t verified, std::int64_t due, std::string_view folder)
{
    return "Verified " + withThousands(verified) + " of " + withThousands(due) +
           (due == 1 ? " due file in " : " due files in ") + escapedForReport(folder);
}

ServiceStatus::ServiceStatus(Clock clock) : clock_(clock ? std::move(clock) : Clock(monotonicMs)) {}

void ServiceStatus::ready()
{
    notifyManager("READY=1");
}

void ServiceStatus::progress(std::int64_t verified, std::int64_t due, std::string_view folder,
                             bool force)
{
    const std::int64_t now = clock_();
    if (!force && lastSentMs_ >= 0 && now - lastSentMs_ < kStatusIntervalMs) {
        return;
    }
    lastSentMs_ = now;
    notifyManager("STATUS=" + serviceStatusText(verified, due, folder));
}

} // namespace quelby::cli
