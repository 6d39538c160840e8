#include "display_text.h"
#include "file_step.h"
#include "report_text.h"
#include "sys.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <vector>

namespace quelby {

std::string normalisedFolder(std::string_view folder, std::string_view workingFolder)
{
    std::string joined;
    if (!folder.starts_with('/')) {
        joined = workingFolder;
        joined += '/';
    }
    joined += folder;
    std::string result;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos) {
            end = joined.size();
        }
        const std::string_view component(joined.data() + start, end - start);
        if (!component.empty() && component != ".") {
            result += '/';
            result += component;
        }
        start = end + 1;
    }
    return result.empty() ? "/" : result;
}

std::expected<void, std::string> validateRunOptions(const RunOptions& options)
{
    if (options.folder.empty() || options.folder.front() != '/') {
        return std::unexpected("the folder must be an absolute path");
    }
    if (options.realBufferSize < 1) {
        return std::unexpected("the buffer size must be at least 1 byte");
    }
    return {};
}

namespace {

struct Entry
{
    std::string name;
    unsigned char type;
};

class Walker
{
public:
    Walker(const RunOptions& options, RunObserver& observer)
        : options_(options), observer_(observer)
    {
    }

    RunState run()
    {
        // One buffer for the whole walk: a fresh large allocation per file
        // would cost more than reading a small file.
        auto buffer = ReadBuffer::allocate(options_.realBufferSize);
        if (!buffer) {
            unreadable(options_.folder, buffer.error().description);
            return std::move(state_);
        }
        buffer_ = &*buffer;
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        auto folder = sys::openAt(AT_FDCWD, options_.folder, flags);
        if (!folder) {
            unreadable(options_.folder, folder.error().description);
        } else {
            walkTree(FileDescriptor(*folder), options_.folder);
        }
        state_.stopped = stopRequested();
        return std::move(state_);
    }

private:
    bool stopRequested()
    {
        if (!stopped_ && observer_.stopRequested()) {
            stopped_ = true;
        }
        return stopped_;
    }

    void unreadable(const std::string& rawPath, const std::string& reason)
    {
        reportUnreadable(options_, state_, observer_, escapedForReport(rawPath), reason);
    }

    static std::string childPath(const std::string& folder, const std::string& name)
    {
        return folder == "/" ? folder + name : folder + "/" + name;
    }

    // Every name in the folder, in byte order; the listing is read whole
    // first so that only one descriptor per level stays open.
    std::expected<std::vector<Entry>, PosixError> list(const FileDescriptor& folder)
    {
        const int listing = ::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
        if (listing < 0) {
            return std::unexpected(posixError(errno));
        }
        DIR* stream = ::fdopendir(listing);
        if (stream == nullptr) {
            const PosixError error = posixError(errno);
            (void)sys::close(listing);
            return std::unexpected(error);
        }
        std::vector<Entry> entries;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(stream);
            if (entry == nullptr) {
                break;
            }
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                entries.push_back(Entry{std::string(name), entry->d_type});
            }
        }
        const int error = errno;
        ::closedir(stream);
        if (error != 0) {
            return std::unexpected(posixError(error));
        }
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });
        return entries;
    }

    // One open folder on the way down, with the names still to visit in it.
    struct Level
    {
        FileDescriptor folder;
        std::string rawPath;
        std::vector<Entry> entries;
        std::size_t next = 0;
    };

    // The folders on the way down are kept in a vector, not on the call
    // stack, so that a chain of folders of any depth cannot overflow it.
    void walkTree(FileDescriptor root, const std::string& rawPath)
    {
        std::vector<Level> levels;
        enter(levels, std::move(root), rawPath);
        while (!levels.empty()) {
            Level& level = levels.back();
            if (level.next == level.entries.size()) {
                levels.pop_back();
                continue;
            }
            if (stopRequested()) {
                return;
            }
            const Entry& entry = level.entries[level.next++];
            const std::string path = childPath(level.rawPath, entry.name);
            if (auto child = visitEntry(level.folder, entry, path)) {
                enter(levels, std::move(*child), path);
            }
        }
    }

    void enter(std::vector<Level>& levels, FileDescriptor folder, const std::string& rawPath)
    {
        auto entries = list(folder);
        if (!entries) {
            unreadable(rawPath, entries.error().description);
            return;
        }
        levels.push_back(Level{std::move(folder), rawPath, std::move(*entries), 0});
    }

    // Visits a file or special entry; returns a folder to descend into.
    std::optional<FileDescriptor> visitEntry(const FileDescriptor& folder, const Entry& entry,
                                             const std::string& rawPath)
    {
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            const auto info = sys::fstatAt(folder.get(), entry.name, AT_SYMLINK_NOFOLLOW);
            type = !info                    ? DT_REG // let the open report the failure
                   : S_ISDIR(info->st_mode) ? DT_DIR
                   : S_ISLNK(info->st_mode) ? DT_LNK
                   : S_ISREG(info->st_mode) ? DT_REG
                                            : DT_FIFO;
        }
        if (type == DT_DIR) {
            const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            auto child = sys::openAt(folder.get(), entry.name, flags);
            if (!child) {
                unreadable(rawPath, child.error().description);
                return std::nullopt;
            }
            return FileDescriptor(*child);
        }
        if (type == DT_LNK) {
            // Links are followed for files only: a link to a folder is skipped
            // like a folder, and a dangling one fails at the open below.
            const auto target = sys::fstatAt(folder.get(), entry.name, 0);
            if (target && S_ISDIR(target->st_mode)) {
                return std::nullopt;
            }
            if (target && !S_ISREG(target->st_mode)) {
                ++state_.totalCount;
                return std::nullopt;
            }
        } else if (type != DT_REG) {
            // FIFOs, sockets and devices: no input can be made; never opened.
            ++state_.totalCount;
            return std::nullopt;
        }
        visitFile(folder, entry.name, rawPath);
        ++state_.totalCount;
        observer_.progress(RunProgress{state_.totalCount, state_.bytesRead, {}});
        return std::nullopt;
    }

    void visitFile(const FileDescriptor& folder, const std::string& name,
                   const std::string& rawPath)
    {
        const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        auto opened = sys::openAt(folder.get(), name, flags);
        if (!opened) {
            unreadable(rawPath, opened.error().description);
            return;
        }
        FileDescriptor file(*opened);
        FileVisit visit(options_, state_, observer_, *buffer_, file.get(),
                        escapedForReport(rawPath));
        switch (options_.operation) {
        case Operation::check:
            checkFile(visit);
            break;
        case Operation::tag:
            tagFile(visit);
            break;
        case Operation::retag:
            retagFile(visit);
            break;
        }
        if (visit.stopped()) {
            stopped_ = true;
        }
    }

    const RunOptions& options_;
    RunObserver& observer_;
    RunState state_;
    const ReadBuffer* buffer_ = nullptr;
    bool stopped_ = false;
};

} // namespace

RunState walkFolder(const RunOptions& options, RunObserver& observer)
{
    return Walker(options, observer).run();
}

std::string summaryText(const RunOptions& options, const RunState& state)
{
    const std::string folder = escapedForReport(options.folder);
    switch (options.operation) {
    case Operation::check:
        return report::checkSummary(state, folder, options.verbose, options.setBufferSize,
                                    options.realBufferSize);
    case Operation::tag:
        return report::tagSummary(state, folder, options.verbose, options.setBufferSize);
    case Operation::retag:
        return report::retagSummary(state, folder, options.verbose, options.setBufferSize,
                                    options.realBufferSize);
    }
    return {};
}

std::string finishedRunText(const RunOptions& options, const RunState& state)
{
    return state.pendingText + summaryText(options, state);
}

} // namespace quelby
