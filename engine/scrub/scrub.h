#pragma once

// One scrub of one folder: a survey of the tree that reads no contents, then
// a Check of the files that are due, in due order, while the run's allowance
// lasts; what it learns goes into the state. Files the state knew that are
// gone are named once and forgotten. Check's report lines are the scrub's.

#include "allowance.h"
#include "engine/run.h"
#include "scrub_events.h"
#include "scrub_state.h"

#include <cstdint>
#include <expected>
#include <string>

namespace quelby {
class DigestPool;
}

namespace quelby::scrub {

struct ScrubOptions
{
    RunOptions run;              // a Check of the folder, as the command line sets it up
    std::int64_t everyDays = 30; // the period within which every file is verified
    Seconds now = 0;             // the run's time, as the state records it
    // The state file, absolute: it and its companions are left out where
    // the folder holds them (a scrub of the home folder).
    std::string statePath;
};

// How a caller follows a scrub: the walk's observer for every report line
// (the survey's and the reads'), and the scrub's own news.
class ScrubObserver : public RunObserver
{
public:
    // A file the state knew, whose path now names nothing.
    virtual void gone(const std::string& path) { (void)path; }
    // After the survey and after each file read.
    virtual void scrubProgress(std::int64_t verified, std::int64_t due)
    {
        (void)verified;
        (void)due;
    }
};

struct ScrubResult
{
    FolderSummary summary;
    RunState state; // Check's counts over the entries the scrub reported
};

// The error is the state's, in words; what was learnt before it stays in the state.
std::expected<ScrubResult, std::string> scrubFolder(const ScrubOptions& options, ScrubState& state,
                                                    Allowance& allowance, ScrubObserver& observer,
                                                    DigestPool* pool);

} // namespace quelby::scrub
