#pragma once

// The store a run keeps its evidence in, chosen and opened the same way by
// the command line and the window.

#include "engine/evidence/evidence_location.h"
#include "engine/run/run.h"
#include "engine/store/evidence_store.h"

#include <expected>
#include <memory>
#include <string>

namespace quelby {

struct ChosenStore
{
    std::shared_ptr<EvidenceStore> store;
    // The run's folder, opened once: the walk goes down from here.
    std::shared_ptr<const FileDescriptor> folder;
    std::string notice; // a manifest that was passed over, in words
};

struct StoreFailure
{
    std::string reason; // in words for the user
    bool busy = false;  // another run writes the manifest
    bool unreadableFolder = false;
    bool notTrusted = false; // the manifest to write belongs to another user
};

// The run's own store (attributes) or the manifest choice leads to, opened,
// and locked when the run writes.
std::expected<ChosenStore, StoreFailure> chooseEvidenceStore(const RunOptions& options,
                                                             StoreChoice choice, bool writes);

// "Digests are kept in MANIFEST", with its line break; empty for attributes.
std::string whereDigestsAreKept(const EvidenceStore& store);

} // namespace quelby
