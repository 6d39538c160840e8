#include "engine/evidence/evidence_choice.h"

#include "engine/evidence/manifest_store.h"
#include "engine/evidence/nested_manifests.h"
#include "engine/text/display_text.h"

#include <cerrno>
#include <fcntl.h>

namespace quelby {

namespace {

// Where the only manifest there is belongs to another user: its files have
// no digest anyone may trust, and none may be written.
class NoTrustedEvidence : public EvidenceStore
{
public:
    std::expected<std::optional<Bytes>, PosixError> read(const StoredFile&, EvidenceKind) override
    {
        return std::optional<Bytes>();
    }
    std::expected<void, PosixError> write(const StoredFile&, EvidenceKind,
                                          std::string_view) override
    {
        return std::unexpected(posixError(EPERM));
    }
    std::expected<void, PosixError> remove(const StoredFile&, EvidenceKind) override
    {
        return std::unexpected(posixError(EPERM));
    }
};

} // namespace

std::expected<ChosenStore, StoreFailure> chooseEvidenceStore(const RunOptions& options,
                                                             StoreChoice choice, bool writes)
{
    const auto unreadable = [&](const PosixError& error) {
        return std::unexpected(StoreFailure{
            escapedForReport(options.folder) + ": " + error.description, false, true});
    };
    const auto opened =
        sys::openAt(AT_FDCWD, options.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return unreadable(opened.error());
    }
    auto folder = std::make_shared<const FileDescriptor>(*opened);
    const auto location = locateEvidence(folder, options.folder, choice);
    if (!location) {
        return unreadable(location.error());
    }
    ChosenStore chosen{options.evidence, folder, location->notice};
    if (!location->notTrustedManifest.empty()) {
        const std::string manifest = escapedForReport(location->notTrustedManifest);
        if (writes) {
            return std::unexpected(StoreFailure{
                manifest + " belongs to another user; Quelby will not replace it", false, false,
                true});
        }
        chosen.store = std::make_shared<NoTrustedEvidence>();
    } else if (location->manifest) {
        bool busy = false;
        auto manifest =
            ManifestStore::open(location->manifestFolderFd, location->manifestFolder,
                                options.folder, options.operation, writes, &busy);
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
