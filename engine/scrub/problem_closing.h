#pragma once

// A problem the user resolved from the app, one file at a time: a repair from
// an intact copy, or an edit accepted by retagging. The file matches its
// digest again, so the state learns it as verified now, and the folder's
// count of open problems follows.

#include "engine/run/run.h"
#include "engine/scrub/state/scrub_state.h"

#include <expected>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quelby::scrub {

// path is relative to folder; file is the file as it is after the repair or retag.
std::expected<void, std::string> closeProblem(ScrubState& state, std::string_view folder,
                                              std::string_view path, const struct stat& file,
                                              Seconds now);

// closeProblem on the file as it is now, in the state at statePath: empty when
// closed, else the report's failure line.
std::string closeProblemNow(const std::string& statePath, const std::string& folder,
                            const std::string& path);

// The one-file run of a problem's folder, in the store Check and repair would
// choose (writes: whether the run writes digests); the error in words.
std::expected<RunOptions, std::string> problemFileRun(Operation operation,
                                                      const std::string& folder,
                                                      const std::string& path, bool writes);

struct AcceptedEdit
{
    RunOptions options; // the retag's run
    RunState state;     // its counts; a store that could not be written is one more failure
    std::expected<void, std::string> stored; // the store's finish
    std::string closeFailure; // the report's failure line when the problem stays open
    bool retagged = false;    // the file carries its new digest
};

// Accept as edited: retags the file with a fresh time stamp (an accepted edit
// is evidence, and without a stamp later damage would read as one more edit),
// finishes the store and, once the file carries its new digest, closes its
// problem in the state. observer hears the retag's entries; the error is why
// the run could not start, in words.
std::expected<AcceptedEdit, std::string> acceptAsEdited(const std::string& statePath,
                                                        const std::string& folder,
                                                        const std::string& path,
                                                        RunObserver& observer);

} // namespace quelby::scrub
