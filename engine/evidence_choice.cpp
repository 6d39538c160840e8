#include "evidence_choice.h"

#include "display_text.h"
#include "manifest_store.h"
#include "nested_manifests.h"

namespace quelby {

std::expected<ChosenStore, StoreFailure> chooseEvidenceStore(const RunOptions& options,
                                                             StoreChoice choice, bool writes)
{
    const auto location = locateEvidence(options.folder, choice);
    if (!location) {
        return std::unexpected(StoreFailure{
            escapedForReport(options.folder) + ": " + location.error().description, false, true});
    }
    ChosenStore chosen{options.evidence, location->notice};
    if (location->manifest) {
        bool busy = false;
        auto manifest = ManifestStore::open(location->manifestFolder, options.folder,
                                            options.operation, writes, &busy);
        if (!manifest) {
            return std::unexpected(StoreFailure{manifest.error(), busy, false});
        }
        chosen.store = std::move(*manifest);
    }
    // Below the folder, a folder with a manifest of its own is judged by it.
    if (choice != StoreChoice::attributes) {
        chosen.store = std::make_shared<NestedManifests>(chosen.store, options.folder,
                                                         options.operation, writes);
    }
    return chosen;
}

std::string whereDigestsAreKept(const EvidenceStore& store)
{
    const std::string* manifest = store.manifest();
    return manifest != nullptr ? "Digests are kept in " + escapedForReport(*manifest) + "\n"
                               : std::string();
}

} // namespace quelby
