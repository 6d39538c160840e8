#pragma once

// A folder below the run's that holds a manifest of its own is judged by it:
// its files are looked up in it and written to it, and the run's own store
// neither reports them gone nor gets entries for them. NestedManifests
// stands in front of the run's store and hands each file to the innermost
// manifest that holds it. A manifest the walk has left is written once every
// outcome below its folder has been delivered. Another user's manifest is
// passed over, and its folder's files stay with the store around it.
//
// Threads: as every EvidenceStore. The manifests open and close on the
// walk's thread; a visit reaches its file's store through its slot's owner.

#include "engine/run/run.h"
#include "engine/store/evidence_store.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace quelby {

class NestedManifests : public EvidenceStore
{
public:
    // top keeps the evidence of everything below folder that has no manifest of its own.
    NestedManifests(std::shared_ptr<EvidenceStore> top, std::string folder, Operation operation,
                    bool writes);

    void folderEntered(const std::string& path, int folderFd) override;
    void lookUp(const std::string& path, EvidenceSlot& slot) override;
    std::expected<std::optional<Bytes>, PosixError> read(const StoredFile& file,
                                                         EvidenceKind kind) override;
    std::expected<void, PosixError> write(const StoredFile& file, EvidenceKind kind,
                                          std::string_view value) override;
    std::expected<void, PosixError> remove(const StoredFile& file, EvidenceKind kind) override;
    std::vector<std::string> goneBefore(const std::string* path) override;
    void apply(const EntryOutcome& outcome) override;
    std::expected<void, std::string> finish() override;
    void keptDamaged(const std::string& path, std::string_view mark) override;
    std::vector<std::string> notices() const override { return notices_; }
    const std::string* manifest() const override { return top_->manifest(); }

private:
    struct Nested
    {
        std::string folder;
        std::shared_ptr<EvidenceStore> store;
    };

    EvidenceStore& storeOf(const StoredFile& file) { return file.slot.owner ? *file.slot.owner : *top_; }
    const std::shared_ptr<EvidenceStore>& innermostFor(const std::string& path);
    void finishNested(Nested& nested);

    std::shared_ptr<EvidenceStore> top_;
    std::string folder_;
    Operation operation_;
    bool writes_;
    std::vector<Nested> open_;   // folders the walk is inside, outermost first
    std::deque<Nested> pending_; // left by the walk, their outcomes still on the way
    std::vector<std::string> failures_;
    std::vector<std::string> notices_;
};

} // namespace quelby
