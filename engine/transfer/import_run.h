#pragma once

// One import: its fixed options, what each line or listed file leaves
// behind, the counts it adds up, and the observer through which a caller
// follows and stops it.

#include "engine/read/file_digest.h"
#include "engine/run/run.h"
#include "engine/store/evidence_store.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quelby {

struct ImportOptions
{
    std::string folder;      // absolute and normalised
    std::string listName;    // the list as the report names it, escaped
    bool timeStamps = false; // stamp each digest stored
    bool verbose = false;    // a line also for a file whose stored digest already equals
    std::int64_t bufferSize = 1048576;
    DigestBackEnd backEnd = DigestBackEnd::current;
    ReadOrder order = ReadOrder::name; // the report is the same in either
    std::shared_ptr<EvidenceStore> evidence;
    // The folder, opened once when the store was chosen; opened here when none.
    std::shared_ptr<const FileDescriptor> folderFd;
};

enum class ImportResult
{
    none,       // no regular file (a folder, a FIFO, a device): no line, as Check gives it
    imported,   // stored now, or already stored the same
    kept,       // a different well-formed digest was stored and stays
    differs,    // the contents differ from the listed digest
    missing,    // no such name
    readFailed, // an unreadable line, a path that leaves the folder, or a file that cannot be read
    tagFailed   // the digest could not be stored
};

// One line of the list, or one listed file, as reported.
struct ImportOutcome
{
    std::size_t lineNumber = 0;
    // Raw: the file's path below the folder, as Check reports it; as listed
    // when it leaves the folder; none for a line that cannot be read.
    std::optional<std::string> path;
    ImportResult result = ImportResult::none;
    std::string lines;           // report text, escaped
    std::optional<Bytes> listed; // the listed digest
    std::optional<Bytes> stored; // the stored digest before the import
    std::optional<Digest> computed;
    std::string error;
};

struct ImportState
{
    std::int64_t listedCount = 0; // every line neither blank nor a comment
    std::int64_t importedCount = 0;
    std::int64_t keptCount = 0;
    std::int64_t differsCount = 0;
    std::int64_t missingCount = 0;
    std::int64_t readFailedCount = 0;
    std::int64_t tagFailedCount = 0;
    std::int64_t bytesRead = 0;
    bool stopped = false;
    std::optional<std::string> finishError; // the store could not keep what was imported
};

class ImportObserver
{
public:
    virtual ~ImportObserver() = default;
    virtual void lineDone(const ImportOutcome&) {}
    // Called between reads; keep it cheap.
    virtual void bytesRead(std::int64_t total) { (void)total; }
    virtual bool stopRequested() { return false; }
};

} // namespace quelby
