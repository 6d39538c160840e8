#pragma once

// The first step of a scrub: a walk of the folder that reads no contents.
// It takes every file instead of visiting it, with what a look at its status
// tells (only for files the state knows: a file new to it is due anyway), and
// reports every other entry as Check would. For a folder the state knows
// nothing of, the walk reads each file as it meets it instead.

#include "engine/run/entry_open.h"
#include "engine/scrub/known_file_index.h"
#include "engine/scrub/scrub_options.h"
#include "engine/scrub/surveyed_file.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quelby::scrub {

// Where a folder the state knows nothing of is read as the survey meets its
// files: every one is due, and walk order is their due order.
class ReadsDuringSurvey
{
public:
    virtual ~ReadsDuringSurvey() = default;
    // Whether the file at index of the survey's files is read now.
    virtual bool startsRead(std::size_t index, const EntryToVisit& entry) = 0;
    virtual void delivered(const EntryOutcome& outcome) = 0;
};

class Healer;

class Survey : public RunObserver
{
public:
    // The files met go into surveyed; reads, when given, reads them as they come.
    Survey(const ScrubOptions& options, KnownFileIndex& known, std::vector<SurveyedFile>& surveyed,
           ScrubObserver& observer, ReadsDuringSurvey* reads)
        : files(surveyed), options_(options),
          storeKeyedByPath_(options.run.evidence->manifest() != nullptr), known_(known),
          observer_(observer), reads_(reads)
    {
    }

    std::vector<SurveyedFile>& files;
    Healer* healer = nullptr; // heals damage the reads find, when given
    std::unordered_set<std::string> reportedMissing; // relative paths a manifest lists, gone
    // Folders the walk could not open or list, relative ("" for the folder itself).
    std::vector<std::string> unreadFolders;

    bool visitsFile(const EntryToVisit& entry) override;
    void entryDone(const EntryOutcome& outcome) override;
    void progress(const RunProgress& progress) override { observer_.progress(progress); }
    bool stopRequested() override { return observer_.stopRequested(); }

private:
    const ScrubOptions& options_;
    const bool storeKeyedByPath_;
    KnownFileIndex& known_;
    ScrubObserver& observer_;
    ReadsDuringSurvey* reads_;
};

} // namespace quelby::scrub
