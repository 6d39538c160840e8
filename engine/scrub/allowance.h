#pragma once

// What one scrub run may spend, shared by its folders in the order given:
// time (--for) and bytes (--budget). A file is started only while neither is
// spent, and the bytes a file will take count from the moment it starts, so
// that files in flight never carry a run far past its budget.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace quelby::scrub {

class Allowance
{
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    Allowance(std::optional<std::chrono::seconds> time, std::optional<std::int64_t> bytes, Now now);

    bool spent() const;
    // Whether starting a file takes its size from the allowance (--budget).
    bool countsBytes() const { return bytesLeft_.has_value(); }
    // A file of size bytes starts.
    void start(std::int64_t size);

private:
    Now now_;
    std::optional<Clock::time_point> deadline_;
    std::optional<std::int64_t> bytesLeft_;
};

} // namespace quelby::scrub
