#include "engine/repair/put_back.h"
#include "engine/store/file_names.h"

#include "engine/platform/sys.h"
#include "engine/repair/repair_attributes.h"
#include "engine/run/time_stamp.h"
#include "engine/store/repair_marks.h"
#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <random>
#include <unistd.h>
#include <utility>

namespace quelby {

namespace {

constexpr std::string_view kMoreThanOneName = "the file has more than one name";
constexpr std::string_view kNameTooLong =
    "the name for the damaged file would be longer than the file system allows";
constexpr std::string_view kChangedSinceChecked = "the file changed since it was checked";
constexpr std::string_view kCopyChanged = "the copy changed while it was copied";
constexpr std::string_view kAppendOnly = "the folder is append-only";
constexpr std::string_view kImmutable = "the folder is immutable";

bool sameFile(const struct stat& now, const struct stat& judged)
{
    return now.st_dev == judged.st_dev && now.st_ino == judged.st_ino &&
           now.st_size == judged.st_size && now.st_mtim.tv_sec == judged.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == judged.st_mtim.tv_nsec &&
           now.st_ctim.tv_sec == judged.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == judged.st_ctim.tv_nsec;
}

// Empty when the name still holds the judged file, else why not.
std::string stillJudged(const DamagedFile& damaged)
{
    const auto now = sys::fstatAt(damaged.folder, damaged.name, AT_SYMLINK_NOFOLLOW);
    if (!now) {
        return now.error().code == ENOENT ? std::string(kChangedSinceChecked)
                                          : now.error().description;
    }
    return sameFile(*now, damaged.judged) ? std::string() : std::string(kChangedSinceChecked);
}

std::string keptName(const std::string& name, int number)
{
    std::string kept = name + std::string(kDamagedSuffix);
    if (number > 1) {
        kept += "." + std::to_string(number);
    }
    return kept;
}

std::size_t longestName(int folder)
{
    const long longest = ::fpathconf(folder, _PC_NAME_MAX);
    return longest > 0 ? static_cast<std::size_t>(longest) : 255;
}

// The number of the first NAME.damaged[.N] not taken yet; none when that
// name would be too long.
std::optional<int> firstFreeKeptNumber(const DamagedFile& damaged, int from)
{
    const std::size_t longest = longestName(damaged.folder);
    for (int number = from;; ++number) {
        const std::string kept = keptName(damaged.name, number);
        if (kept.size() > longest) {
            return std::nullopt;
        }
        const auto taken = sys::fstatAt(damaged.folder, kept, AT_SYMLINK_NOFOLLOW);
        if (!taken) {
            return number;
        }
    }
}

std::string hiddenName()
{
    static std::mt19937_64 random{std::random_device{}()};
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08llx",
                  static_cast<unsigned long long>(random() & 0xffffffffULL));
    return std::string(kRepairTemporaryPrefix) + digits;
}

// The new file: nameless (O_TMPFILE) until it is whole, where the file
// system allows; otherwise under a hidden name from the start.
class NewFile
{
public:
    static std::expected<NewFile, PosixError> create(int folder)
    {
        NewFile file(folder);
        auto nameless = sys::createAt(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (nameless) {
            file.fd_ = FileDescriptor(*nameless);
            return file;
        }
        const int error = nameless.error().code;
        if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) {
            return std::unexpected(nameless.error());
        }
        for (int attempt = 0;; ++attempt) {
            const std::string name = hiddenName();
            auto named = sys::createAt(folder, name,
                                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (named) {
                file.fd_ = FileDescriptor(*named);
                file.name_ = name;
                return file;
            }
            if (named.error().code != EEXIST || attempt == 9) {
                return std::unexpected(named.error());
            }
        }
    }

    NewFile(NewFile&&) = default;
    NewFile& operator=(NewFile&&) = delete;
    ~NewFile() { (void)discard(); }

    // Removes the hidden name, if the file got one and still owns it.
    std::expected<void, PosixError> discard()
    {
        if (name_.empty() || kept_) {
            return {};
        }
        auto removed = sys::unlinkAt(folder_, name_, 0);
        if (removed || removed.error().code == ENOENT) {
            kept_ = true; // nothing left to remove
            return {};
        }
        return removed;
    }

    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }

    // Gives the nameless file a hidden name.
    std::expected<void, PosixError> link()
    {
        if (!name_.empty()) {
            return {};
        }
        const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 0;; ++attempt) {
            const std::string name = hiddenName();
            auto linked = sys::linkAt(AT_FDCWD, proc, folder_, name, AT_SYMLINK_FOLLOW);
            if (linked) {
                name_ = name;
                return {};
            }
            if (linked.error().code != EEXIST || attempt == 9) {
                return std::unexpected(linked.error());
            }
        }
    }

    // After the exchange the hidden name belongs to the damaged file.
    void keep() { kept_ = true; }

private:
    explicit NewFile(int folder) : folder_(folder) {}
    int folder_;
    FileDescriptor fd_;
    std::string name_;
    bool kept_ = false;
};

// Exactly the proven bytes: whoever owns the copy may have made it longer
// since (sparsely, in an instant), and root would write until the disk is full.
std::expected<void, std::string> copyBytes(int from, std::int64_t size, int to,
                                           const ReadBuffer& buffer,
                                           const std::function<bool()>& stopRequested)
{
    if (const auto start = sys::lseek(from, 0, SEEK_SET); !start) {
        return std::unexpected(start.error().description);
    }
    auto remaining = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
    while (remaining > 0) {
        if (stopRequested()) {
            return std::unexpected(std::string());
        }
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
        const auto got = sys::read(from, buffer.data(), wanted);
        if (!got) {
            return std::unexpected(got.error().description);
        }
        if (*got == 0) {
            return std::unexpected(std::string(kCopyChanged));
        }
        if (auto written = sys::writeAll(to, buffer.data(), *got); !written) {
            return std::unexpected(written.error().description);
        }
        remaining -= *got;
    }
    const auto now = sys::fstat(from);
    if (!now) {
        return std::unexpected(now.error().description);
    }
    if (now->st_size != size) {
        return std::unexpected(std::string(kCopyChanged));
    }
    return {};
}

PutBack failed(std::string reason)
{
    return PutBack{PutBack::End::failed, std::move(reason), {}};
}

PutBack stopped()
{
    return PutBack{PutBack::End::stopped, {}, {}};
}

// Everything the new file needs before it may take the name, made durable.
// Empty when done, the reason otherwise ("" for a stop).
std::expected<void, std::string> prepare(const DamagedFile& damaged, int damagedFd,
                                         const NewFile& file, const WriteBytes& writeBytes,
                                         const ReadBuffer& buffer, DigestBackEnd backEnd,
                                         const std::function<bool()>& stopRequested)
{
    auto failure = [](const PosixError& error) { return std::unexpected(error.description); };
    if (auto written = writeBytes.write(file.fd()); !written) {
        return written;
    }
    if (auto synced = sys::fsync(file.fd()); !synced) {
        return failure(synced.error());
    }
    if (const auto start = sys::lseek(file.fd(), 0, SEEK_SET); !start) {
        return failure(start.error());
    }
    const auto written = fileDigest(file.fd(), buffer, backEnd,
                                    [&](std::size_t) { return !stopRequested(); });
    if (!written) {
        return std::unexpected(stopRequested() ? std::string() : written.error().description);
    }
    if (!*written || **written != damaged.digest) {
        return std::unexpected(std::string(writeBytes.notProven));
    }
    // The attributes in one order: what the new file must not carry goes
    // first, the capability last, since a change of owner clears it.
    if (auto removed = removeAttributesMissingFrom(damagedFd, file.fd()); !removed) {
        return failure(removed.error());
    }
    EvidenceSlot slot;
    const StoredFile stored{file.fd(), damaged.name, slot};
    if (auto tagged = damaged.evidence->write(stored, EvidenceKind::digest, damaged.digest.view());
        !tagged) {
        return failure(tagged.error());
    }
    if (damaged.stamp) {
        if (auto stamped = damaged.evidence->write(stored, EvidenceKind::stamp, *damaged.stamp);
            !stamped) {
            return failure(stamped.error());
        }
    }
    if (auto others = copyOtherAttributes(damagedFd, file.fd()); !others) {
        return failure(others.error());
    }
    // The owner first, since changing it clears the set-user-ID bits the mode restores.
    if (auto owned = sys::fchown(file.fd(), damaged.judged.st_uid, damaged.judged.st_gid);
        !owned) {
        return failure(owned.error());
    }
    if (auto mode = sys::fchmod(file.fd(), damaged.judged.st_mode & 07777); !mode) {
        return failure(mode.error());
    }
    if (auto capability = copyCapability(damagedFd, file.fd()); !capability) {
        return failure(capability.error());
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, damaged.judged.st_mtim};
    if (auto timed = sys::futimens(file.fd(), times); !timed) {
        return failure(timed.error());
    }
    const auto notKept = attributeNotKept(damagedFd, file.fd());
    if (!notKept) {
        return failure(notKept.error());
    }
    if (*notKept) {
        return std::unexpected("the attribute " + escapedForReport(**notKept) +
                               " could not be kept");
    }
    if (auto synced = sys::fsync(file.fd()); !synced) {
        return failure(synced.error());
    }
    return {};
}


// Renames without replacing what holds the new name. FUSE file systems may
// refuse the flag; there the name is looked at first, which leaves a moment
// in which a file made under it would be replaced.
std::expected<void, PosixError> renameNoReplace(int folder, const std::string& from,
                                                const std::string& to)
{
    auto renamed = sys::renameAt2(folder, from, folder, to, RENAME_NOREPLACE);
    if (renamed || renamed.error().code != EINVAL) {
        return renamed;
    }
    if (sys::fstatAt(folder, to, AT_SYMLINK_NOFOLLOW)) {
        return std::unexpected(posixError(EEXIST));
    }
    return sys::renameAt2(folder, from, folder, to, 0);
}

std::string damagedMarkNow(const DamagedFile& damaged)
{
    return damagedMarkValue(damaged.name, timeStampText(std::chrono::system_clock::now()));
}

std::string keptPath(const DamagedFile& damaged, const std::string& kept)
{
    return damaged.path.substr(0, damaged.path.rfind('/') + 1) + kept;
}

// Where names cannot be exchanged: the damaged file moves to its kept name,
// then the new file takes the name, each made durable. A kill between the
// two leaves the kept bytes and the repair's temporary file, which every
// walk names; the name itself is never replaced by anything unproven.
template <typename Failed>
PutBack putBackByTwoRenames(const DamagedFile& damaged, int damagedFd, NewFile& file,
                            int firstNumber, const Failed& failedAndRemoved)
{
    const std::string hidden = file.name();
    std::string kept;
    for (int next = firstNumber;; ++next) {
        const auto free = firstFreeKeptNumber(damaged, next);
        if (!free) {
            return failedAndRemoved(std::string(kNameTooLong));
        }
        kept = keptName(damaged.name, *free);
        auto moved = renameNoReplace(damaged.folder, damaged.name, kept);
        if (moved) {
            break;
        }
        if (moved.error().code != EEXIST) {
            return failedAndRemoved(moved.error().description);
        }
        next = *free;
    }
    const auto aside = sys::fstatAt(damaged.folder, kept, AT_SYMLINK_NOFOLLOW);
    if (!aside || aside->st_dev != damaged.judged.st_dev ||
        aside->st_ino != damaged.judged.st_ino) {
        // Another file slipped in under the name: it gets its name back.
        (void)renameNoReplace(damaged.folder, kept, damaged.name);
        return failedAndRemoved(std::string(kChangedSinceChecked));
    }
    if (auto synced = sys::fsync(damaged.folder); !synced) {
        (void)renameNoReplace(damaged.folder, kept, damaged.name);
        return failedAndRemoved(synced.error().description);
    }
    if (auto placed = renameNoReplace(damaged.folder, hidden, damaged.name); !placed) {
        (void)renameNoReplace(damaged.folder, kept, damaged.name);
        return failedAndRemoved(placed.error().description);
    }
    file.keep();
    if (auto synced = sys::fsync(damaged.folder); !synced) {
        return PutBack{PutBack::End::repairedWithoutKeeping,
                       "the repaired file is in place and the damaged file is " +
                           escapedForReport(kept) + ", but the folder could not be synced: " +
                           synced.error().description,
                       kept};
    }
    const std::string mark = damagedMarkNow(damaged);
    if (auto cleared = markAsDamaged(*damaged.evidence, damagedFd, damaged.name, damaged.judged,
                                     mark);
        !cleared) {
        return PutBack{PutBack::End::repairedWithoutKeeping,
                       "the repaired file is in place, but the damaged file " +
                           escapedForReport(kept) + " could not be marked: " +
                           cleared.error().description,
                       kept};
    }
    damaged.evidence->keptDamaged(keptPath(damaged, kept), mark);
    return PutBack{PutBack::End::repaired, {}, kept};
}
} // namespace

std::optional<std::string> repairRefusal(const DamagedFile& damaged)
{
    if (damaged.judged.st_nlink > 1) {
        return std::string(kMoreThanOneName);
    }
    if (const std::string changed = stillJudged(damaged); !changed.empty()) {
        return changed;
    }
    if (!firstFreeKeptNumber(damaged, 1)) {
        return std::string(kNameTooLong);
    }
    return std::nullopt;
}

std::optional<std::string> folderRefusal(int folder)
{
    const auto flags = sys::inodeFlags(folder);
    if (!flags) {
        return std::nullopt; // a file system without these flags: nothing stops a removal
    }
    if ((*flags & FS_IMMUTABLE_FL) != 0) {
        return std::string(kImmutable);
    }
    if ((*flags & FS_APPEND_FL) != 0) {
        return std::string(kAppendOnly);
    }
    return std::nullopt;
}

WriteBytes bytesOfCopy(int copy, std::int64_t copySize, const ReadBuffer& buffer,
                       const std::function<bool()>& stopRequested)
{
    return {[copy, copySize, &buffer, stopRequested](int to) {
                return copyBytes(copy, copySize, to, buffer, stopRequested);
            },
            std::string(kCopyChanged)};
}

std::expected<void, std::string> restoreMissing(const MissingFile& missing,
                                                const WriteBytes& writeBytes,
                                                const ReadBuffer& buffer, DigestBackEnd backEnd,
                                                const std::function<bool()>& stopRequested)
{
    auto created = NewFile::create(missing.folder);
    if (!created) {
        return std::unexpected(created.error().description);
    }
    NewFile& file = *created;
    auto failed = [&file](std::string reason) -> std::expected<void, std::string> {
        const std::string name = file.name();
        if (auto removed = file.discard(); !removed) {
            reason += "; the temporary file " + escapedForReport(name) +
                      " could not be removed: " + removed.error().description;
        }
        return std::unexpected(std::move(reason));
    };
    if (auto written = writeBytes.write(file.fd()); !written) {
        return written.error().empty() ? written : failed(written.error());
    }
    if (auto synced = sys::fsync(file.fd()); !synced) {
        return failed(synced.error().description);
    }
    (void)sys::lseek(file.fd(), 0, SEEK_SET);
    const auto digest = fileDigest(file.fd(), buffer, backEnd,
                                   [&](std::size_t) { return !stopRequested(); });
    if (!digest) {
        return stopRequested() ? failed(std::string()) : failed(digest.error().description);
    }
    if (!*digest || **digest != missing.digest) {
        return failed(writeBytes.notProven);
    }
    EvidenceSlot slot;
    const StoredFile stored{file.fd(), missing.path, slot};
    if (auto tagged = missing.evidence->write(stored, EvidenceKind::digest, missing.digest.view());
        !tagged && tagged.error().code != EOPNOTSUPP) {
        return failed(tagged.error().description);
    }
    (void)missing.evidence->write(stored, EvidenceKind::stamp,
                                  timeStampText(std::chrono::system_clock::now()));
    if (auto mode = sys::fchmod(file.fd(), missing.mode & 07777); !mode) {
        return failed(mode.error().description);
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, missing.modified};
    if (auto timed = sys::futimens(file.fd(), times); !timed) {
        return failed(timed.error().description);
    }
    if (auto synced = sys::fsync(file.fd()); !synced) {
        return failed(synced.error().description);
    }
    if (stopRequested()) {
        return failed(std::string());
    }
    if (auto linked = file.link(); !linked) {
        return failed(linked.error().description);
    }
    if (auto named = renameNoReplace(missing.folder, file.name(), missing.name); !named) {
        return failed(named.error().code == EEXIST ? std::string("a file of that name appeared")
                                                   : named.error().description);
    }
    file.keep();
    if (auto synced = sys::fsync(missing.folder); !synced) {
        return std::unexpected("the file is back, but the folder could not be synced: " +
                               synced.error().description);
    }
    return {};
}

PutBack putBack(const DamagedFile& damaged, const WriteBytes& writeBytes,
                const ReadBuffer& buffer, DigestBackEnd backEnd,
                const std::function<bool()>& stopRequested)
{
    if (auto refusal = repairRefusal(damaged)) {
        return failed(std::move(*refusal));
    }
    const int readFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    auto opened = sys::openAt(damaged.folder, damaged.name, readFlags);
    if (!opened) {
        return failed(opened.error().description);
    }
    const FileDescriptor damagedFd(*opened);
    if (const auto info = sys::fstat(damagedFd.get()); !info || !sameFile(*info, damaged.judged)) {
        return failed(std::string(kChangedSinceChecked));
    }
    auto created = NewFile::create(damaged.folder);
    if (!created) {
        return failed(created.error().description);
    }
    NewFile& file = *created;
    // Whatever went wrong, the temporary file goes; if it cannot, the line says where it is.
    auto failedAndRemoved = [&file](std::string reason) {
        const std::string name = file.name();
        if (auto removed = file.discard(); !removed) {
            reason += "; the temporary file " + escapedForReport(name) +
                      " could not be removed: " + removed.error().description;
        }
        return failed(std::move(reason));
    };
    if (auto ready =
            prepare(damaged, damagedFd.get(), file, writeBytes, buffer, backEnd, stopRequested);
        !ready) {
        return ready.error().empty() ? stopped() : failedAndRemoved(ready.error());
    }
    if (stopRequested()) {
        return stopped();
    }
    if (auto linked = file.link(); !linked) {
        return failedAndRemoved(linked.error().description);
    }
    if (const std::string changed = stillJudged(damaged); !changed.empty()) {
        return failedAndRemoved(changed);
    }
    const auto number = firstFreeKeptNumber(damaged, 1);
    if (!number) {
        return failedAndRemoved(std::string(kNameTooLong));
    }
    if (stopRequested()) {
        return stopped();
    }
    const std::string hidden = file.name();
    if (auto exchanged =
            sys::renameAt2(damaged.folder, hidden, damaged.folder, damaged.name, RENAME_EXCHANGE);
        !exchanged) {
        // FAT and exFAT through FUSE, among others, know no exchange.
        const bool noExchange =
            exchanged.error().code == EINVAL || exchanged.error().code == ENOSYS ||
            exchanged.error().code == EOPNOTSUPP;
        if (!noExchange) {
            return failedAndRemoved(exchanged.error().description);
        }
        return putBackByTwoRenames(damaged, damagedFd.get(), file, *number, failedAndRemoved);
    }
    // From here on the name holds the repaired bytes and nothing is undone
    // for a stop. Should another file have slipped in under the name before
    // the exchange, it gets its name back.
    const auto swapped = sys::fstatAt(damaged.folder, hidden, AT_SYMLINK_NOFOLLOW);
    if (!swapped || swapped->st_dev != damaged.judged.st_dev ||
        swapped->st_ino != damaged.judged.st_ino) {
        if (sys::renameAt2(damaged.folder, hidden, damaged.folder, damaged.name,
                           RENAME_EXCHANGE)) {
            return failed(std::string(kChangedSinceChecked));
        }
        file.keep();
        return PutBack{PutBack::End::repairedWithoutKeeping,
                       std::string(kChangedSinceChecked) + "; what held the name now is " + hidden,
                       {}};
    }
    file.keep();
    auto notKept = [&](const PosixError& error) {
        return PutBack{PutBack::End::repairedWithoutKeeping,
                       "the repaired file is in place, but the damaged file stays as " + hidden +
                           ": " + error.description,
                       {}};
    };
    const std::string mark = damagedMarkNow(damaged);
    if (auto cleared = markAsDamaged(*damaged.evidence, damagedFd.get(), damaged.name,
                                     damaged.judged, mark);
        !cleared) {
        return notKept(cleared.error());
    }
    for (int next = *number;; ++next) {
        const auto free = firstFreeKeptNumber(damaged, next);
        if (!free) {
            return notKept(posixError(ENAMETOOLONG));
        }
        const std::string kept = keptName(damaged.name, *free);
        auto renamed =
            sys::renameAt2(damaged.folder, hidden, damaged.folder, kept, RENAME_NOREPLACE);
        if (renamed) {
            if (auto synced = sys::fsync(damaged.folder); !synced) {
                return PutBack{PutBack::End::repairedWithoutKeeping,
                               "the repaired file is in place and the damaged file is " +
                                   escapedForReport(kept) +
                                   ", but the folder could not be synced: " +
                                   synced.error().description,
                               kept};
            }
            damaged.evidence->keptDamaged(keptPath(damaged, kept), mark);
            return PutBack{PutBack::End::repaired, {}, kept};
        }
        if (renamed.error().code != EEXIST) {
            return notKept(renamed.error());
        }
        next = *free;
    }
}

} // namespace quelby
