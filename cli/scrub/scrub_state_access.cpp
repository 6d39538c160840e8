#include "scrub_state_access.h"

#include "cli/common/command_output.h"
#include "cli/common/run_setup.h"
#include "engine/platform/sys.h"
#include "engine/scrub/state/state_file.h"
#include "engine/text/display_text.h"
#include "engine/text/scrub_text.h"

namespace quelby::cli {

std::expected<std::string, int> realFolder(const std::string& typed, std::ostream& err,
                                           const CliEnvironment& environment)
{
    auto folder = absoluteFolder(typed, err, environment);
    if (!folder) {
        return folder;
    }
    if (auto real = sys::realPath(*folder)) {
        return *real;
    }
    return folder;
}

std::expected<std::string, int> scrubStatePath(const CliOptions& options, std::ostream& err,
                                               const CliEnvironment& environment)
{
    if (options.scrubbing.stateFile) {
        if (options.scrubbing.stateFile->starts_with('/')) {
            return *options.scrubbing.stateFile;
        }
        if (!environment.workingFolder) {
            sayError(err, "cannot find the working folder: " + environment.workingFolder.error());
            return std::unexpected(kExitUsage);
        }
        return *environment.workingFolder + "/" + *options.scrubbing.stateFile;
    }
    if (auto path = scrub::defaultStatePath()) {
        return *path;
    }
    sayError(err, "no place for the scrub state: set HOME or XDG_STATE_HOME, or give --state FILE");
    return std::unexpected(kExitUsage);
}

scrub::ScrubSession::StateNotices stateNotices(const std::string& path, std::ostream& err)
{
    return {[&err, path](const std::string& movedTo) {
                sayError(err, report::stateMovedAsideText(escapedForReport(path),
                                                          escapedForReport(movedTo)));
            },
            [&err, path](const std::string& folder, const std::string& dropped) {
                sayError(err,
                         report::strayRecordText(escapedForReport(path), escapedForReport(folder),
                                                 escapedForReport(dropped)));
            }};
}

std::expected<std::unique_ptr<scrub::ScrubState>, int> openScrubState(const std::string& path,
                                                                      std::ostream& err)
{
    const auto notices = stateNotices(path, err);
    auto state = scrub::ScrubState::open(path, notices.movedAside, notices.dropped);
    if (!state) {
        sayError(err, state.error());
        return std::unexpected(kExitUsage);
    }
    return std::move(*state);
}

} // namespace quelby::cli
