#include "engine/repair/copy_search.h"

#include "engine/tree/folder_stack.h"
#include "engine/tree/open_below.h"

namespace quelby {

CopySearch::CopySearch(std::vector<CopyFolder> copies, const ReadBuffer& buffer,
                       DigestBackEnd backEnd, std::function<bool()> stopRequested)
    : copies_(std::move(copies)), buffer_(buffer), backEnd_(backEnd),
      stopRequested_(std::move(stopRequested))
{
}

CopySearch::Proof CopySearch::prove(const FileDescriptor& file, const Digest& wanted,
                                    std::optional<Digest>* digested, std::int64_t* size)
{
    // The digest reads exactly the size taken here, or fails.
    const auto state = sys::fstat(file.get());
    if (!state) {
        return Proof::refuted;
    }
    const auto result = fileDigestFrom(file.get(), *state, buffer_, backEnd_,
                                       [this](std::size_t) { return !stopRequested_(); });
    if (!result) {
        return stopRequested_() ? Proof::stopped : Proof::refuted;
    }
    if (!*result) {
        return Proof::refuted;
    }
    ++filesHashed_;
    if (digested != nullptr) {
        *digested = **result;
    }
    *size = state->st_size;
    return **result == wanted ? Proof::proven : Proof::refuted;
}

std::expected<std::optional<ProvenCopy>, Stopped>
CopySearch::firstIndexed(CopyFolder& copy, const std::vector<std::uint32_t>& candidates,
                         std::string_view skippedPath, const Digest& wanted)
{
    for (const std::uint32_t index : candidates) {
        CopyFile& candidate = copy.file(index);
        // Tried already by its path, or digested already to other bytes.
        if (candidate.relativePath == skippedPath ||
            (candidate.digested && *candidate.digested != wanted)) {
            continue;
        }
        auto file = copy.openFile(candidate.relativePath, candidate.listedAsLink);
        if (!file) {
            continue;
        }
        std::int64_t size = 0;
        switch (prove(*file, wanted, &candidate.digested, &size)) {
        case Proof::proven:
            return ProvenCopy{std::move(*file), joinedPath(copy.folder(), candidate.relativePath),
                              size};
        case Proof::stopped:
            return std::unexpected(Stopped{});
        case Proof::refuted:
            break;
        }
    }
    return std::nullopt;
}

std::expected<std::optional<ProvenCopy>, Stopped>
CopySearch::find(std::string_view relativePath, const Digest& wanted, std::int64_t size)
{
    for (CopyFolder& copy : copies_) {
        auto file = copy.openFile(relativePath, false);
        if (!file) {
            continue;
        }
        std::int64_t provenSize = 0;
        switch (prove(*file, wanted, nullptr, &provenSize)) {
        case Proof::proven:
            return ProvenCopy{std::move(*file), joinedPath(copy.folder(), relativePath),
                              provenSize};
        case Proof::stopped:
            return std::unexpected(Stopped{});
        case Proof::refuted:
            break;
        }
    }
    for (CopyFolder& copy : copies_) {
        const auto candidates = copy.filesCarrying(wanted, stopRequested_);
        if (!candidates) {
            return std::unexpected(Stopped{});
        }
        auto found = firstIndexed(copy, *candidates, relativePath, wanted);
        if (!found || *found) {
            return found;
        }
    }
    for (CopyFolder& copy : copies_) {
        const auto candidates = copy.filesOfSize(size, stopRequested_);
        if (!candidates) {
            return std::unexpected(Stopped{});
        }
        auto found = firstIndexed(copy, *candidates, relativePath, wanted);
        if (!found || *found) {
            return found;
        }
    }
    return std::nullopt;
}

} // namespace quelby
