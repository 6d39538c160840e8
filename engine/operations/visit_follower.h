#pragma once

// What the thread that walks does for the file visits it runs itself or hands
// to a pool: it asks its observer whether to stop (once asked, for good), and
// reports the bytes read so far, those of the file being read included.

#include "engine/operations/file_step.h"
#include "engine/operations/ordered_visits.h"
#include "engine/run/run.h"

#include <cstdint>
#include <string_view>

namespace quelby {

class VisitFollower : public VisitContext, public VisitHost
{
public:
    // counts are the run's own, as delivered outcomes add up.
    VisitFollower(RunObserver& observer, const RunCounts& counts)
        : observer_(observer), counts_(counts)
    {
    }

    bool stopRequested() override
    {
        if (!stopped_ && observer_.stopRequested()) {
            stopped_ = true;
        }
        return stopped_;
    }

    void bytesRead(std::size_t count, std::string_view path) override
    {
        bytesInFile_ += static_cast<std::int64_t>(count);
        observer_.progress(RunProgress{counts_.totalCount, counts_.bytesRead + bytesInFile_, path});
    }

    bool pollWhileWaiting(std::int64_t bytesInFlight, std::string_view currentPath) override
    {
        observer_.progress(
            RunProgress{counts_.totalCount, counts_.bytesRead + bytesInFlight, currentPath});
        return stopRequested();
    }

protected:
    // After a file's outcome is counted: the next file's reads start afresh.
    void fileDelivered()
    {
        bytesInFile_ = 0;
        observer_.progress(RunProgress{counts_.totalCount, counts_.bytesRead, {}});
    }

    bool stopped_ = false;

private:
    RunObserver& observer_;
    const RunCounts& counts_;
    std::int64_t bytesInFile_ = 0;
};

} // namespace quelby
