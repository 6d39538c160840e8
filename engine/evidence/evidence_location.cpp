#include "engine/evidence/evidence_location.h"
#include "engine/store/file_names.h"

#include "engine/evidence/manifest_format.h"
#include "engine/platform/attribute_name.h"
#include "engine/store/tag_store.h"
#include "engine/text/display_text.h"
#include "engine/tree/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quelby {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

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

Found manifestIn(int folderFd, const struct stat& folderInfo)
{
    const auto info = sys::fstatAt(folderFd, std::string(kManifestFileName), AT_SYMLINK_NOFOLLOW);
    if (!info) {
        return Found::none;
    }
    return trustedEvidenceFile(*info, folderInfo) ? Found::usable : Found::notTrusted;
}

} // namespace

bool trustedEvidenceFile(const struct stat& file, const struct stat& folder)
{
    return file.st_uid == ::geteuid() || file.st_uid == 0 || file.st_uid == folder.st_uid;
}

std::string passedOverNotice(const std::string& path)
{
    return "Passed over " + escapedForReport(path) + ": it belongs to another user";
}

std::string manifestPath(const std::string& manifestFolder)
{
    return joinedPath(manifestFolder, kManifestFileName);
}

bool isManifestName(std::string_view name)
{
    return name == kManifestFileName || name == kManifestLockName ||
           name.starts_with(kManifestNewPrefix);
}

std::expected<EvidenceLocation, PosixError>
locateEvidence(const std::shared_ptr<const FileDescriptor>& folderFd, const std::string& folder,
               StoreChoice choice)
{
    EvidenceLocation location;
    if (choice == StoreChoice::attributes) {
        return location;
    }
    const auto rootInfo = sys::fstat(folderFd->get());
    if (!rootInfo) {
        return std::unexpected(rootInfo.error());
    }
    // The folder itself is the one the run walks; those above it are only
    // looked at, by their names, for a manifest that covers it.
    std::shared_ptr<const FileDescriptor> current = folderFd;
    struct stat currentInfo = *rootInfo;
    std::string currentPath = folder;
    while (true) {
        const Found found = manifestIn(current->get(), currentInfo);
        if (found == Found::usable) {
            location.manifest = true;
            location.manifestFolder = currentPath;
            location.manifestFolderFd = current;
            location.manifestExists = true;
            return location;
        }
        if (found == Found::notTrusted) {
            location.notice = passedOverNotice(manifestPath(currentPath));
            location.notTrustedManifest = manifestPath(currentPath);
            break;
        }
        if (currentPath == "/") {
            break;
        }
        currentPath = parentOf(currentPath);
        const auto parent = sys::openAt(AT_FDCWD, currentPath, kFolderFlags);
        if (!parent) {
            break;
        }
        auto parentFd = std::make_shared<const FileDescriptor>(*parent);
        const auto info = sys::fstat(parentFd->get());
        if (!info || info->st_dev != rootInfo->st_dev) {
            break;
        }
        current = std::move(parentFd);
        currentInfo = *info;
    }
    const bool attributes = choice != StoreChoice::manifest && keepsAttributes(folderFd->get());
    if (attributes) {
        location.notTrustedManifest.clear(); // attributes keep the folder's evidence
    } else if (location.notTrustedManifest.empty()) {
        location.manifest = true;
        location.manifestFolder = folder;
        location.manifestFolderFd = folderFd;
    }
    return location;
}

} // namespace quelby
