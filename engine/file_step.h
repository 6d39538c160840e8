#pragma once

// What one operation's per-file step works with: the file opened once by the
// walk, its display path, and the run's options, state and observer. The
// digest and both attributes go through the one descriptor, so they always
// belong to the same file even if its name is replaced meanwhile.

#include "file_digest.h"
#include "posix_error.h"
#include "run.h"
#include "tag_store.h"

#include <expected>
#include <optional>
#include <string>

namespace quelby {

class FileVisit
{
public:
    FileVisit(const RunOptions& options, RunState& state, RunObserver& observer,
              const ReadBuffer& buffer, int fd, std::string path);

    const RunOptions& options;
    RunState& state;
    RunObserver& observer;
    const ReadBuffer& buffer;
    const int fd;
    const std::string path; // escaped for the report

    // Digests the file from its start; reports progress and honours a stop request.
    DigestResult digest();
    // True when the last digest failed because the run was asked to stop.
    bool stopped() const { return stopped_; }
    // The digest when there is one. A read failure is reported here; a stop,
    // or an entry that is no regular file, gives none silently.
    std::optional<Digest> digestOrReport();
    // Reports this file as unreadable, in the operation's own way.
    void reportUnreadable(const std::string& reason);

    // The stored digest; none when the file has none (no attribute, or a file
    // system without attributes); the error when reading it failed otherwise.
    std::expected<std::optional<Bytes>, PosixError> storedDigest();
    std::expected<void, PosixError> writeDigest(const Digest& digest);
    // Writes the time stamp of this moment; a failure is dropped by design.
    void writeTimeStamp();

private:
    bool stopped_ = false;
};

// Per-file steps of the three operations. Each leaves totalCount to the walk.
void checkFile(FileVisit& visit);
void tagFile(FileVisit& visit);
void retagFile(FileVisit& visit);

// Reports a file or folder that could not be read, in the operation's own way.
void reportUnreadable(const RunOptions& options, RunState& state, RunObserver& observer,
                      const std::string& path, const std::string& reason);

// The number shown in Tag's digest line: a 64-bit hash keyed afresh in every process.
std::int64_t digestHashNumber(const Digest& digest);

} // namespace quelby
