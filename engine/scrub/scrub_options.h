#pragma once

// What a scrub of one folder is asked to do, and how its caller follows it.

#include "engine/run/run.h"
#include "engine/scrub/state/scrub_state.h"

#include <cstdint>
#include <string>

namespace quelby::scrub {

struct ScrubOptions
{
    RunOptions run;              // a Check of the folder, as the command line sets it up
    std::int64_t everyDays = 30; // the period within which every file is verified
    Seconds now = 0;             // the run's time, as the state records it
    // The state file, absolute: it and its companions are left out where
    // the folder holds them (a scrub of the home folder).
    std::string statePath;
    // Damaged files are rebuilt from their folders' parity sets as they are found.
    bool heal = false;
    // Files without a digest get one, stamped, once they have settled.
    bool tagNew = false;
};

// How a caller follows a scrub: the walk's observer for every report line
// (the survey's and the reads'), and the scrub's own news.
class ScrubObserver : public RunObserver
{
public:
    // A file the state knew, whose path now names nothing.
    virtual void gone(const std::string& path) { (void)path; }
    // A folder's parity set found damaged, and whether --heal wrote it anew;
    // lines is its report text.
    virtual void paritySetDamaged(const std::string& setPath, bool rebuilt,
                                  const std::string& lines)
    {
        (void)setPath;
        (void)rebuilt;
        (void)lines;
    }
    // After the survey and after each file read.
    virtual void scrubProgress(std::int64_t verified, std::int64_t due)
    {
        (void)verified;
        (void)due;
    }
};

} // namespace quelby::scrub
