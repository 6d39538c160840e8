#include "engine/evidence/manifest_sort.h"
#include "engine/store/file_names.h"

#include "engine/evidence/manifest_entries.h"
#include "engine/evidence/manifest_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string_view>
#include <vector>

namespace quelby {

std::size_t manifestSortRunBytes = 16 * 1024 * 1024;

namespace {

// Runs merged at once: each holds a descriptor and a read buffer.
constexpr std::size_t kMergeFanIn = 8;
constexpr std::size_t kWriteSize = 64 * 1024;

std::expected<FileDescriptor, PosixError> openFolder(const std::string& path)
{
    const auto opened = sys::openAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    return FileDescriptor(*opened);
}

// Buffered writes to a temporary file; the first failure is kept.
class RunOutput
{
public:
    explicit RunOutput(FileDescriptor fd) : fd_(std::move(fd)) {}

    void write(std::string_view bytes)
    {
        pending_ += bytes;
        if (pending_.size() >= kWriteSize) {
            flush();
        }
    }

    std::expected<FileDescriptor, std::string> done()
    {
        flush();
        if (error_) {
            return std::unexpected(*error_);
        }
        return std::move(fd_);
    }

private:
    void flush()
    {
        if (!error_ && !pending_.empty()) {
            if (const auto written = sys::writeAll(fd_.get(), pending_.data(), pending_.size());
                !written) {
                error_ = "couldn't write a temporary file: " + written.error().description;
            }
        }
        pending_.clear();
    }

    FileDescriptor fd_;
    std::string pending_;
    std::optional<std::string> error_;
};

std::expected<RunOutput, std::string> newRun(int folderFd)
{
    auto file = temporaryFile(folderFd);
    if (!file) {
        return std::unexpected("couldn't make a temporary file: " + file.error().description);
    }
    return RunOutput(std::move(*file));
}

// One run's entries as their keys and lines, side by side in two strings, so
// that an entry costs its bytes and one small record.
class RunBuffer
{
public:
    bool empty() const { return records_.empty(); }
    std::size_t bytes() const
    {
        return keys_.size() + lines_.size() + records_.size() * sizeof(Record);
    }

    void add(const ManifestEntry& entry)
    {
        const std::string lines = entry.verbatim();
        records_.push_back({keys_.size(), entry.key.size(), lines_.size(), lines.size()});
        keys_ += entry.key;
        lines_ += lines;
    }

    std::expected<FileDescriptor, std::string> writeSorted(int folderFd)
    {
        std::ranges::stable_sort(records_, [this](const Record& a, const Record& b) {
            return walkOrderLess(key(a), key(b));
        });
        auto run = newRun(folderFd);
        if (!run) {
            return std::unexpected(run.error());
        }
        for (const Record& record : records_) {
            run->write(std::string_view(lines_).substr(record.linesStart, record.linesSize));
        }
        records_.clear();
        keys_.clear();
        lines_.clear();
        return run->done();
    }

private:
    struct Record
    {
        std::size_t keyStart;
        std::size_t keySize;
        std::size_t linesStart;
        std::size_t linesSize;
    };
    std::string_view key(const Record& record) const
    {
        return std::string_view(keys_).substr(record.keyStart, record.keySize);
    }

    std::string keys_;
    std::string lines_;
    std::vector<Record> records_;
};

// Merges runs, each in walk order, into one; on equal keys the earlier run
// goes first, so the sort stays stable.
std::expected<FileDescriptor, std::string> merged(const std::vector<FileDescriptor>& runs,
                                                  int folderFd)
{
    std::vector<std::unique_ptr<ManifestEntries>> readers;
    for (const FileDescriptor& run : runs) {
        readers.push_back(streamedEntries(run.get()));
    }
    auto output = newRun(folderFd);
    if (!output) {
        return std::unexpected(output.error());
    }
    for (;;) {
        ManifestEntries* first = nullptr;
        for (const auto& reader : readers) {
            const ManifestEntry* entry = reader->current();
            if (entry != nullptr &&
                (first == nullptr || walkOrderLess(entry->key, first->current()->key))) {
                first = reader.get();
            }
        }
        if (first == nullptr) {
            break;
        }
        output->write(first->current()->verbatim());
        first->advance();
    }
    for (const auto& reader : readers) {
        if (reader->error()) {
            return std::unexpected("couldn't read a temporary file: " + *reader->error());
        }
        // A run holds nothing after its last entry; were there lines, they would be kept.
        output->write(reader->trailing());
    }
    return output->done();
}

} // namespace

std::expected<FileDescriptor, std::string> temporaryFolder()
{
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
        const std::string own = std::string(stateHome) + "/quelby";
        if (const auto made = sys::makeFolderAt(AT_FDCWD, own, 0700);
            made || made.error().code == EEXIST) {
            if (auto folder = openFolder(own)) {
                return std::move(*folder);
            }
        }
    }
    // A TMPDIR that is gone or is no folder leaves the system's own.
    const char* temporary = std::getenv("TMPDIR");
    if (temporary != nullptr && temporary[0] == '/') {
        if (auto folder = openFolder(temporary)) {
            return std::move(*folder);
        }
    }
    auto folder = openFolder("/tmp");
    if (!folder) {
        return std::unexpected("couldn't open /tmp for temporary files: " +
                               folder.error().description);
    }
    return std::move(*folder);
}

std::expected<FileDescriptor, PosixError> temporaryFile(int folderFd)
{
    const int flags = O_RDWR | O_CLOEXEC;
    if (const auto nameless = sys::createAt(folderFd, ".", O_TMPFILE | flags, 0600)) {
        return FileDescriptor(*nameless);
    } else if (nameless.error().code != EOPNOTSUPP && nameless.error().code != EISDIR) {
        return std::unexpected(nameless.error());
    }
    // A file system without nameless files: a name that goes at once.
    static std::mt19937_64 random{std::random_device{}()};
    for (;;) {
        char number[17];
        std::snprintf(number, sizeof number, "%016llx", static_cast<unsigned long long>(random()));
        const std::string name = std::string(kSortTemporaryPrefix) + number;
        const auto created =
            sys::createAt(folderFd, name, O_CREAT | O_EXCL | O_NOFOLLOW | flags, 0600);
        if (!created && created.error().code == EEXIST) {
            continue;
        }
        if (!created) {
            return std::unexpected(created.error());
        }
        FileDescriptor file(*created);
        if (const auto removed = sys::unlinkAt(folderFd, name, 0); !removed) {
            return std::unexpected(removed.error());
        }
        return file;
    }
}

std::expected<FileDescriptor, std::string> sortedManifest(int manifestFd)
{
    const auto folder = temporaryFolder();
    if (!folder) {
        return std::unexpected(folder.error());
    }
    // Runs in the manifest's order, each with how many merges made it. The
    // last kMergeFanIn of one level merge into one as soon as they are there,
    // so that few are open at a time and each entry is merged few times.
    struct Run
    {
        FileDescriptor file;
        int level = 0;
    };
    std::vector<Run> runs;
    const auto mergeLast = [&](std::size_t count) -> std::expected<void, std::string> {
        const std::size_t first = runs.size() - count;
        std::vector<FileDescriptor> files;
        for (std::size_t i = first; i < runs.size(); ++i) {
            files.push_back(std::move(runs[i].file));
        }
        auto run = merged(files, folder->get());
        if (!run) {
            return std::unexpected(run.error());
        }
        const int level = runs[first].level + 1;
        runs.resize(first);
        runs.push_back(Run{std::move(*run), level});
        return {};
    };
    const auto addRun = [&](RunBuffer& buffer) -> std::expected<void, std::string> {
        auto run = buffer.writeSorted(folder->get());
        if (!run) {
            return std::unexpected(run.error());
        }
        runs.push_back(Run{std::move(*run), 0});
        while (runs.size() >= kMergeFanIn &&
               std::all_of(runs.end() - kMergeFanIn, runs.end(),
                           [&](const Run& r) { return r.level == runs.back().level; })) {
            if (auto done = mergeLast(kMergeFanIn); !done) {
                return done;
            }
        }
        return {};
    };
    std::string trailing;
    {
        const auto entries = streamedEntries(manifestFd);
        RunBuffer buffer;
        for (; const ManifestEntry* entry = entries->current(); entries->advance()) {
            buffer.add(*entry);
            if (buffer.bytes() >= manifestSortRunBytes) {
                if (auto added = addRun(buffer); !added) {
                    return std::unexpected(added.error());
                }
            }
        }
        if (entries->error()) {
            return std::unexpected(*entries->error());
        }
        trailing = entries->trailing();
        if (!buffer.empty() || runs.empty()) {
            if (auto added = addRun(buffer); !added) {
                return std::unexpected(added.error());
            }
        }
    }
    while (runs.size() > 1) {
        if (auto done = mergeLast(std::min(kMergeFanIn, runs.size())); !done) {
            return std::unexpected(done.error());
        }
    }
    FileDescriptor sorted = std::move(runs.front().file);
    if (!trailing.empty()) {
        const auto end = sys::lseek(sorted.get(), 0, SEEK_END);
        const auto written = end ? sys::writeAll(sorted.get(), trailing.data(), trailing.size())
                                 : std::expected<void, PosixError>(std::unexpected(end.error()));
        if (!written) {
            return std::unexpected("couldn't write a temporary file: " +
                                   written.error().description);
        }
    }
    return sorted;
}

std::expected<WalkOrderReaders, std::string> walkOrderReaders(int manifestFd)
{
    // One pass to learn whether the manifest is in walk order; rarely it is not.
    const auto check = streamedEntries(manifestFd);
    bool ordered = true;
    std::string previous;
    for (bool first = true; const ManifestEntry* entry = check->current(); check->advance()) {
        if (!first && walkOrderLess(entry->key, previous)) {
            ordered = false;
            break;
        }
        previous = entry->key;
        first = false;
    }
    if (check->error()) {
        return std::unexpected(*check->error());
    }
    if (ordered) {
        return WalkOrderReaders{streamedEntries(manifestFd), streamedEntries(manifestFd)};
    }
    auto sorted = sortedManifest(manifestFd);
    if (!sorted) {
        return std::unexpected(sorted.error());
    }
    const auto kept = std::make_shared<const FileDescriptor>(std::move(*sorted));
    return WalkOrderReaders{streamedEntries(kept->get(), kept),
                            streamedEntries(kept->get(), kept)};
}

} // namespace quelby
