#pragma once

// Judging the files an import lists, on the importing thread and in walk
// order: each file reached again below the folder, its digest compared with
// the listed one and the stored one, and stored only when it equals the
// listed one and no well-formed digest is stored yet.

#include "engine/run/entry_open.h"
#include "engine/transfer/import_list.h"
#include "engine/transfer/import_run.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace quelby {

// A file's contents read before it is judged, kept until then.
struct ReadAhead
{
    struct stat opened = {};            // as it was when opened for the read
    std::optional<Digest> digest;       // none for a file that turned out no regular file
    std::optional<std::string> failure; // why the read failed
    std::int64_t bytes = 0;
    // In name order, the file as the read opened it: judged through the same
    // descriptor right after, without reaching it again.
    std::optional<OpenedEntry> stillOpen;
};

class ImportJudge
{
public:
    // progressBytes counts every byte read, for the observer's progress.
    ImportJudge(const ImportOptions& options, ImportObserver& observer, ImportState& state,
                std::int64_t& progressBytes)
        : options_(options), observer_(observer), state_(state), progressBytes_(progressBytes)
    {
    }

    // What every file needs: the folder open, its real path, a read buffer
    // of bufferSize bytes. When one cannot be had, each of files is reported
    // with the reason.
    bool prepare(const std::vector<ListedFile>& files, std::int64_t bufferSize);
    int root() const { return root_->get(); }
    const TreeRules& rules() const { return rules_; }
    PseudoFileSystems& pseudoFileSystems() { return pseudoFileSystems_; }

    // Every line of the group of files that starts at first; read is what was
    // read of the file before, if anything. False once a stop cut a read short.
    bool judgeGroup(const std::vector<ListedFile>& files, std::size_t first, ReadAhead* read);

private:
    DigestResult digestOf(const OpenedEntry& opened, std::int64_t& bytes);
    void refuse(ImportOutcome& outcome, std::string_view reason);
    void importOne(const ListedFile& file, const std::string& path, EvidenceSlot& slot,
                   ReadAhead* readAhead);
    static void keepAfterOwnWrite(ReadAhead& readAhead, int fd);
    bool judge(ImportOutcome& outcome, const StoredFile& stored, const std::string& shown);

    const ImportOptions& options_;
    ImportObserver& observer_;
    ImportState& state_;
    std::int64_t& progressBytes_;
    std::shared_ptr<const FileDescriptor> root_;
    TreeRules rules_;
    PseudoFileSystems pseudoFileSystems_;
    std::optional<ReadBuffer> buffer_; // for a file read again when judged
};

} // namespace quelby
