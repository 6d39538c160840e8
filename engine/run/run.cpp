#include "engine/run/run.h"

#include "engine/platform/disk_kind.h"
#include "engine/read/digest_pool.h"

#include <fcntl.h>

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

RunOptions defaultRunOptions(Operation operation, std::string folder)
{
    RunOptions options;
    options.operation = operation;
    options.jobs = defaultDigestJobs(folder);
    options.order = onRotationalDisk(folder) ? ReadOrder::disk : ReadOrder::name;
    options.folder = std::move(folder);
    options.backEnd = platformDigestBackEnd();
    return options;
}

ReadPlan readPlanOf(const RunOptions& options)
{
    return readPlan(options.jobs, options.order, options.realBufferSize);
}

std::expected<std::shared_ptr<const FileDescriptor>, PosixError>
openRunFolder(const RunOptions& options)
{
    if (options.folderFd) {
        return options.folderFd;
    }
    const auto opened = sys::openAt(AT_FDCWD, options.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    return std::make_shared<const FileDescriptor>(*opened);
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

void EntryOutcome::clear()
{
    path.clear();
    isFolder = false;
    result = FileResult::none;
    lines.clear();
    notices.clear();
    counts = {};
    error.clear();
    otherDevice = false;
    stored.reset();
    computed.reset();
    stamp.reset();
    modified.reset();
    verdict.reset();
    status.reset();
    opened.reset();
    throughLink = false;
    evidence = {};
}

RunCounts& RunCounts::operator+=(const RunCounts& other)
{
    totalCount += other.totalCount;
    matchedCount += other.matchedCount;
    mismatchedCount += other.mismatchedCount;
    noDigestCount += other.noDigestCount;
    errorCount += other.errorCount;
    retaggedCount += other.retaggedCount;
    firstTagCount += other.firstTagCount;
    failureCount += other.failureCount;
    bytesRead += other.bytesRead;
    editedCount += other.editedCount;
    damagedCount += other.damagedCount;
    unknownCount += other.unknownCount;
    keptCount += other.keptCount;
    writtenCount += other.writtenCount;
    replacedCount += other.replacedCount;
    alreadyTaggedCount += other.alreadyTaggedCount;
    readFailedCount += other.readFailedCount;
    excludedCount += other.excludedCount;
    otherDeviceCount += other.otherDeviceCount;
    unsupportedCount += other.unsupportedCount;
    missingCount += other.missingCount;
    leftoverCount += other.leftoverCount;
    damagedCopyCount += other.damagedCopyCount;
    newTaggedCount += other.newTaggedCount;
    return *this;
}

std::string_view fileResultName(FileResult result)
{
    switch (result) {
    case FileResult::matched:
        return "matched";
    case FileResult::differs:
        return "differs";
    case FileResult::noDigest:
        return "no-digest";
    case FileResult::tagged:
        return "tagged";
    case FileResult::retagged:
        return "retagged";
    case FileResult::kept:
        return "kept";
    case FileResult::readFailed:
        return "read-failed";
    case FileResult::tagFailed:
        return "tag-failed";
    case FileResult::missing:
        return "missing";
    case FileResult::leftover:
        return "leftover";
    case FileResult::damagedCopy:
        return "damaged-copy";
    case FileResult::healed:
        return "healed";
    case FileResult::none:
        break;
    }
    return {};
}

} // namespace quelby
