#pragma once

// One folder given with --from: a tree that repair only ever reads. Its
// files are found by the same relative path as a damaged file, or through
// two indexes built on first need from one walk of the tree: the digests its
// files carry in their attribute or its manifest lists, and their sizes. An index only points at
// candidates; a candidate proves nothing until its contents are digested.

#include "engine/read/file_digest.h"
#include "engine/run/entry_open.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quelby {

struct CopyFile
{
    std::string relativePath;
    bool listedAsLink = false;
    std::int64_t size = 0;
    std::optional<Digest> digested; // once its contents were digested in this run
};

struct Stopped
{};

class CopyFolder
{
public:
    // folder is absolute and normalised.
    static std::expected<CopyFolder, PosixError> open(const std::string& folder);

    const std::string& folder() const { return folder_; }

    // The regular file at relativePath, opened as every walk opens an entry;
    // none when there is no such file or it cannot be read.
    std::optional<FileDescriptor> openFile(std::string_view relativePath, bool listedAsLink);

    // Candidates in walk order, the indexes built on first need; a stop
    // during that walk leaves them unbuilt.
    std::expected<std::vector<std::uint32_t>, Stopped>
    filesCarrying(const Digest& digest, const std::function<bool()>& stopRequested);
    std::expected<std::vector<std::uint32_t>, Stopped>
    filesOfSize(std::int64_t size, const std::function<bool()>& stopRequested);

    CopyFile& file(std::uint32_t index) { return files_[index]; }

private:
    CopyFolder() = default;
    bool buildIndexes(const std::function<bool()>& stopRequested);
    void addFile(const std::shared_ptr<const FileDescriptor>& folder, const std::string& name,
                 const std::string& relativePath, bool listedAsLink);
    void indexManifestDigests();

    std::string folder_;
    std::shared_ptr<const FileDescriptor> root_;
    TreeRules rules_;
    PseudoFileSystems pseudoFileSystems_;
    bool indexed_ = false;
    std::vector<CopyFile> files_;
    std::unordered_map<std::string, std::vector<std::uint32_t>> byDigest_;
    std::unordered_map<std::int64_t, std::vector<std::uint32_t>> bySize_;
};

} // namespace quelby
