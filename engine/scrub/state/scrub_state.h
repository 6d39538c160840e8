#pragma once

// What scrubs have learnt, kept between runs in one SQLite file: per folder,
// each file's size and times as last seen, when a scrub last verified it and
// what it found, and the folder's figures from its last run. It is a cache,
// not evidence: it never holds a digest, and losing it only makes every file
// due again. Paths are raw bytes (BLOBs), relative to their folder.

#include "engine/run/verdict.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quelby::scrub {

using Seconds = std::int64_t; // since the epoch

// What a scrub last found in a file. Stored as these numbers: never change one.
enum class LastResult : int
{
    none = 0, // seen, never verified
    matched = 1,
    noDigest = 2,    // looked at, carries no digest: not a problem
    differs = 3,     // a problem
    readFailed = 4,  // a problem
    damagedCopy = 5, // damaged bytes a repair kept: never verified, never counted
};

bool isProblem(LastResult result);

// A file as the state knows it.
struct KnownFile
{
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;       // st_mtim in nanoseconds
    std::int64_t changedNs = 0;        // st_ctim in nanoseconds
    std::optional<Seconds> verifiedAt; // none: never verified
    LastResult result = LastResult::none;
    std::optional<Seconds> problemSince; // when its open problem was first found
    // What the scrub judged a file that differs; none for any other result.
    std::optional<Verdict> verdict = std::nullopt;
    friend bool operator==(const KnownFile&, const KnownFile&) = default;
};

using KnownFiles = std::unordered_map<std::string, KnownFile>; // by relative path

// A file the state knows below a folder, by its path relative to it.
struct KnownEntry
{
    std::string path;
    KnownFile file;
};

// A folder's figures from its last run, as status and the metrics show them.
struct FolderRecord
{
    std::string folder; // absolute, raw bytes
    std::optional<Seconds> lastRun;
    std::int64_t everyDays = 30;       // the period of the last run
    std::int64_t files = 0;            // files with a digest
    std::int64_t verifiedInPeriod = 0; // of those, verified within the period
    std::int64_t problems = 0;         // open problems
    std::int64_t bytesRead = 0;        // by the last run
    std::optional<Seconds> notifiedAt; // the last desktop notification about its problems
    std::int64_t withoutDigest = 0;    // files without a digest
    friend bool operator==(const FolderRecord&, const FolderRecord&) = default;
};

struct OpenProblem
{
    std::string path; // relative to the folder, raw bytes
    LastResult result = LastResult::differs;
    Seconds since = 0;
    // None for a read failure, and in a state written before verdicts were kept.
    std::optional<Verdict> verdict = std::nullopt;
    friend bool operator==(const OpenProblem&, const OpenProblem&) = default;
};

// A folder's figures counted in the state now, as status shows them: its
// files with a digest, how many of them were verified within its period
// (the every-days of its last run), its open problems, and its files
// without a digest.
struct FolderCounts
{
    std::string folder; // absolute, raw bytes
    std::int64_t files = 0;
    std::int64_t verifiedInPeriod = 0;
    std::int64_t problems = 0;
    std::int64_t withoutDigest = 0;
    friend bool operator==(const FolderCounts&, const FolderCounts&) = default;
};

class ScrubState
{
public:
    // Opens the state at path, creating it and its folder when missing. A file
    // that is no database or is corrupt is renamed to path + ".corrupt-" +
    // the time (UTC, %Y%m%dT%H%M%SZ), movedAside hears the new name, and a
    // new state is started. Any other failure is returned, the file left alone.
    // A file's record whose path is no path below its folder (a ".." or an
    // empty component, a leading "/", a NUL byte) was not written by a scrub:
    // knownFiles() and openProblems() leave it out and delete it, and dropped
    // hears its folder and path. (folderCounts() may count it until then.)
    static std::expected<std::unique_ptr<ScrubState>, std::string>
    open(const std::string& path, const std::function<void(const std::string&)>& movedAside,
         const std::function<void(const std::string& folder, const std::string& path)>& dropped =
             {});

    virtual ~ScrubState() = default;

    // Every file the state knows below folder.
    virtual std::expected<KnownFiles, std::string> knownFiles(std::string_view folder) = 0;
    // The same in byte order of their paths.
    virtual std::expected<std::vector<KnownEntry>, std::string>
    knownFilesInOrder(std::string_view folder) = 0;

    // Queued in the open batch; the batch is handed to a thread of its own
    // to be committed when it holds 1,000 changes or was opened in an earlier
    // second than now (once the batch before it is committed), and is
    // committed by commit() or when the state is closed. A kill loses at most
    // the batch being committed and the open one. The reads below see every
    // queued change. A failure to commit a batch handed over is returned by
    // the next call.
    virtual std::expected<void, std::string> record(std::string_view folder, std::string_view path,
                                                    const KnownFile& file, Seconds now) = 0;
    virtual std::expected<void, std::string> forget(std::string_view folder, std::string_view path,
                                                    Seconds now) = 0;
    virtual std::expected<void, std::string> commit() = 0;

    // Replaces the folder's figures (and commits the open batch with them).
    virtual std::expected<void, std::string> saveFolder(const FolderRecord& record) = 0;
    // Every folder the state holds files of, in byte order of their paths;
    // one whose scrub never finished has no lastRun and no figures.
    virtual std::expected<std::vector<FolderRecord>, std::string> folders() = 0;
    virtual std::expected<std::vector<OpenProblem>, std::string>
    openProblems(std::string_view folder) = 0;
    // Every folder of folders(), in the same order, counted in SQL so that a
    // large state is not loaded file by file.
    virtual std::expected<std::vector<FolderCounts>, std::string> folderCounts(Seconds now) = 0;
};

} // namespace quelby::scrub
