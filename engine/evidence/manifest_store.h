#pragma once

// Evidence kept in a manifest file, .quelby.sha256, where a file system keeps
// no attributes of its own. The manifest names files by their path relative
// to its folder and lists them in walk order, so a run merges it with its
// walk in one pass: one reader looks each file up as the walk lists it, a
// second copies the manifest into a new one as outcomes are delivered, and
// neither needs more memory than an entry. A manifest in another order is
// sorted first, on disk (engine/evidence/manifest_sort.h).
//
// Only entries below the run's folder are looked at; the others are copied
// byte for byte. A run that writes holds the lock file beside the manifest for
// its whole length, and replaces the manifest whole and atomically at its
// end: a new file beside it, synced, renamed over it, and the folder synced.
//
// Threads: as every EvidenceStore. lookUp, goneBefore, apply and finish run
// on the walk's own thread; read and write touch only the file's own slot.

#include "engine/evidence/manifest_entries.h"
#include "engine/evidence/manifest_format.h"
#include "engine/platform/sys.h"
#include "engine/run/run.h"
#include "engine/store/evidence_store.h"

#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelby {

class ManifestStore : public EvidenceStore
{
public:
    // Opens the manifest of manifestFolder (absolute), open as manifestFolderFd,
    // for a run over folder (at or below it). Every later step goes through
    // that descriptor. A run that writes takes the manifest's lock and may
    // create the manifest; a Check reads it, and with none reads an empty one.
    // The reason in words when it cannot be used; busy is set when another run
    // writes it.
    static std::expected<std::shared_ptr<ManifestStore>, std::string>
    open(std::shared_ptr<const FileDescriptor> manifestFolderFd, const std::string& manifestFolder,
         const std::string& folder, Operation operation, bool writes, bool* busy = nullptr);
    ~ManifestStore() override;

    void lookUp(const std::string& path, EvidenceSlot& slot) override;
    std::expected<std::optional<Bytes>, PosixError> read(const StoredFile& file,
                                                         EvidenceKind kind) override;
    std::expected<void, PosixError> write(const StoredFile& file, EvidenceKind kind,
                                          std::string_view value) override;
    std::expected<void, PosixError> remove(const StoredFile& file, EvidenceKind kind) override;
    // At most kGoneBatch paths a batch.
    std::vector<std::string> goneBefore(const std::string* path) override;
    static constexpr std::size_t kGoneBatch = 1024;
    void folderHasOwnManifest(const std::string& folder) override;
    void apply(const EntryOutcome& outcome) override;
    void keptDamaged(const std::string& path, std::string_view mark) override;

    // A run that writes: the rest of the old manifest is copied and the new one
    // takes its place. The reason in words when that failed; the old one then
    // stays as it was.
    std::expected<void, std::string> finish() override;
    const std::string* manifest() const override { return &path_; }

private:
    std::expected<void, std::string> finishWriting();
    ManifestStore() = default;

    std::optional<std::string> keyOf(const std::string& path) const;
    bool inScope(const std::string& key) const;
    bool isGone(const std::string& key) const;
    void writeOut(std::string_view bytes);
    void flushPending();
    void copyUpTo(const std::string* key);
    void writeKeptBefore(const std::string* key);

    std::string folder_;         // the manifest's folder, absolute
    std::string path_;           // the manifest's path
    std::string scope_;          // the run's folder relative to folder_; empty for all
    std::vector<std::string> ownManifests_; // keys of folders with a manifest of their own
    Operation operation_ = Operation::check;
    std::shared_ptr<const FileDescriptor> folderFd_;
    FileDescriptor lockFd_;      // held by a run that writes
    FileDescriptor manifestFd_;  // the old manifest, when there is one
    std::unique_ptr<ManifestEntries> lookUps_;
    std::unique_ptr<ManifestEntries> copies_;
    bool writes_ = false;
    FileDescriptor newFd_;
    std::string newName_;
    std::string pending_; // bytes not yet written to the new manifest
    std::optional<std::string> writeError_;
    // Lines that mark damaged bytes a repair kept during the run, by key, in walk order.
    std::map<std::string, std::string, bool (*)(std::string_view, std::string_view)> kept_{
        walkOrderLess};
};

} // namespace quelby
