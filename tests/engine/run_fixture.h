#pragma once

#include "engine/operations/walk.h"
#include "engine/run/run.h"
#include "engine/store/tag_store.h"
#include "engine/text/report_text.h"
#include "support/temp_tree.h"

#include <string>
#include <vector>

namespace quelby::test {

// Collects what a walk tells its observer; can ask for a stop after some files.
class RecordingObserver : public RunObserver
{
public:
    std::vector<std::string> notices;
    std::string lines;    // the run's text without its notices
    std::string streamed; // every entry's lines and notices in walk order
    std::int64_t stopAfterFiles = -1;
    std::int64_t filesSeen = 0;

    void entryDone(const EntryOutcome& outcome) override
    {
        if (!outcome.notices.empty()) {
            notices.push_back(outcome.notices);
        }
        lines += outcome.lines;
        streamed += outcome.lines + outcome.notices;
    }
    void progress(const RunProgress& progress) override { filesSeen = progress.filesDone; }
    bool stopRequested() override { return stopAfterFiles >= 0 && filesSeen >= stopAfterFiles; }
};

inline RunOptions optionsFor(Operation operation, const std::string& folder, bool verbose = false,
                             bool timeStamps = false)
{
    RunOptions options;
    options.operation = operation;
    options.folder = folder;
    options.verbose = verbose;
    options.timeStamps = timeStamps;
    options.setBufferSize = 4;
    options.realBufferSize = 4096;
    return options;
}

// The whole report a finished run shows in the window: its notices, then its text.
// A bound on the files lets a walk that wrongly loops end at once.
inline std::string runReport(const RunOptions& options, RunState* finalState = nullptr,
                             std::int64_t stopAfterFiles = -1, DigestPool* pool = nullptr)
{
    RecordingObserver observer;
    observer.stopAfterFiles = stopAfterFiles;
    const RunState state = walkFolder(options, observer, pool);
    std::string report;
    for (const auto& notice : observer.notices) {
        report += notice;
    }
    report += observer.lines + summaryText(options, state);
    if (finalState != nullptr) {
        *finalState = state;
    }
    return report;
}

// The text with every "{F}" replaced by the folder.
inline std::string inFolder(std::string text, const std::string& folder)
{
    for (auto at = text.find("{F}"); at != std::string::npos; at = text.find("{F}", at)) {
        text.replace(at, 3, folder);
        at += folder.size();
    }
    return text;
}

inline void tagByHand(const std::string& path, std::string_view stamp)
{
    storeAttribute(path, kDigestAttributeName, digestOfBytes(readWholeFile(path)).view());
    storeAttribute(path, kTimeAttributeName, stamp);
}

// Tagged photos, one changed since, one never tagged, and optionally one
// whose attributes cannot be written (when chattr +i works here).
struct PhotoFolder
{
    TempTree tree;
    std::string root = tree.folder("Photos");
    std::string locked;
    bool lockable = false;

    explicit PhotoFolder(bool withLockedFile)
    {
        tagByHand(tree.file("Photos/a.jpg", "aaaa"), "2024-03-09T17_05_42Z");
        const auto b = tree.file("Photos/b.jpg", "bbbb");
        tagByHand(b, "2024-03-09T17_05_43Z");
        writeWholeFile(b, "bbbb changed");
        tree.file("Photos/new.jpg", "new");
        tagByHand(tree.file("Photos/sub/c.jpg", "cccc"), "2024-03-09T17_05_44Z");
        if (withLockedFile) {
            locked = tree.file("Photos/locked.jpg", "locked");
            lockable = setImmutable(locked, true);
        }
    }
};

} // namespace quelby::test
