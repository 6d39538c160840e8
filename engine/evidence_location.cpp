#include "evidence_location.h"

#include "display_text.h"
#include "manifest_format.h"
#include "platform/attribute_name.h"
#include "sys.h"
#include "tag_store.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quelby {

namespace {

constexpr std::string_view kTemporaryPrefix = ".quelby.sha256.new-";

std::string parentOf(const std::string& folder)
{
    const std::size_t slash = folder.rfind('/');
    return slash == 0 ? std::string("/") : folder.substr(0, slash);
}

// Anything but "not supported" means the file system keeps user attributes.
bool keepsAttributes(int folderFd)
{
    const auto probe =
        sys::getAttribute(folderFd, platformAttributeName(kDigestAttributeName), nullptr, 0);
    return probe || (probe.error().code != EOPNOTSUPP && probe.error().code != ENOTSUP);
}

enum class Found
{
    none,
    usable,
    notTrusted
};

Found manifestIn(int folderFd, bool aboveFolder)
{
    const auto info = sys::fstatAt(folderFd, std::string(kManifestFileName), AT_SYMLINK_NOFOLLOW);
    if (!info) {
        return Found::none;
    }
    if (aboveFolder && info->st_uid != ::geteuid() && info->st_uid != 0) {
        return Found::notTrusted;
    }
    return Found::usable;
}

} // namespace

std::string manifestPath(const std::string& manifestFolder)
{
    return manifestFolder == "/" ? "/" + std::string(kManifestFileName)
                                 : manifestFolder + "/" + std::string(kManifestFileName);
}

bool isManifestName(std::string_view name)
{
    return name == kManifestFileName || name.starts_with(kTemporaryPrefix);
}

std::expected<EvidenceLocation, PosixError> locateEvidence(const std::string& folder,
                                                           StoreChoice choice)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    const auto opened = sys::openAt(AT_FDCWD, folder, flags);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    const FileDescriptor root(*opened);
    EvidenceLocation location;
    if (choice == StoreChoice::attributes) {
        return location;
    }
    const auto rootInfo = sys::fstat(root.get());
    if (!rootInfo) {
        return std::unexpected(rootInfo.error());
    }
    std::string current = folder;
    for (bool above = false;; above = true) {
        FileDescriptor aboveFd;
        if (above) {
            const auto parent = sys::openAt(AT_FDCWD, current, flags);
            if (!parent) {
                break;
            }
            aboveFd = FileDescriptor(*parent);
            const auto info = sys::fstat(aboveFd.get());
            if (!info || info->st_dev != rootInfo->st_dev) {
                break;
            }
        }
        const Found found = manifestIn(above ? aboveFd.get() : root.get(), above);
        if (found == Found::usable) {
            location.manifest = true;
            location.manifestFolder = current;
            location.manifestExists = true;
            return location;
        }
        if (found == Found::notTrusted) {
            location.notice = "Passed over " + escapedForReport(manifestPath(current)) +
                              ": it belongs to another user";
            break;
        }
        if (current == "/") {
            break;
        }
        current = parentOf(current);
    }
    if (choice == StoreChoice::manifest || !keepsAttributes(root.get())) {
        location.manifest = true;
        location.manifestFolder = folder;
    }
    return location;
}

} // namespace quelby
