#pragma once

// A walk's report as the property tests compare it, and a stop they make: each entry's lines and
// notices in walk order, then the summary; the root as "{F}" and the stamps,
// which tell when each tree was tagged, as "{T}".

#include "engine/operations/walk.h"
#include "engine/read/digest_pool.h"
#include "engine/run/time_stamp.h"
#include "engine/run_fixture.h"
#include "engine/text/report_text.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quelby::test {

inline std::string streamedReport(const RunOptions& options, DigestPool* pool)
{
    RecordingObserver observer;
    const RunState state = walkFolder(options, observer, pool);
    std::string report = observer.streamed + summaryText(options, state);
    for (auto at = report.find(options.folder); at != std::string::npos;
         at = report.find(options.folder, at)) {
        report.replace(at, options.folder.size(), "{F}");
    }
    constexpr std::size_t kStampLength = 20;
    for (auto at = report.find("@ "); at != std::string::npos; at = report.find("@ ", at + 2)) {
        if (parsedTimeStamp(std::string_view(report).substr(at + 2, kStampLength))) {
            report.replace(at + 2, kStampLength, "{T}");
        }
    }
    return report;
}

// Stops as soon as the walk has read enough, wherever its workers are.
class StopAfterBytes : public RecordingObserver
{
public:
    explicit StopAfterBytes(std::int64_t bytes) : bytes_(bytes) {}
    void progress(const RunProgress& progress) override { done_ = progress.bytesDone; }
    bool stopRequested() override { return done_ >= bytes_; }

private:
    std::int64_t bytes_;
    std::int64_t done_ = 0;
};

} // namespace quelby::test
