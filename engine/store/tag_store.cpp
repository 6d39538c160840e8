#include "engine/store/tag_store.h"

#include "engine/platform/attribute_name.h"
#include "engine/platform/sys.h"

#include <cerrno>
#include <fcntl.h>
#include <utility>

namespace quelby {

namespace {

// storedName is the name as the platform stores it.
std::expected<Bytes, PosixError> readStoredAttribute(int fd, const std::string& storedName)
{
    // Most values are a digest or a stamp: one call reads them whole. A
    // larger value needs its size first, and may grow before the read: ask
    // again then.
    char small[128];
    auto direct = sys::getAttribute(fd, storedName, small, sizeof small);
    if (direct) {
        return Bytes(small, *direct);
    }
    if (direct.error().code != ERANGE) {
        return std::unexpected(direct.error());
    }
    for (int attempt = 0;; ++attempt) {
        auto size = sys::getAttribute(fd, storedName, nullptr, 0);
        if (!size) {
            return std::unexpected(size.error());
        }
        Bytes value(*size, '\0');
        auto copied = sys::getAttribute(fd, storedName, value.data(), value.size());
        if (copied) {
            value.resize(*copied);
            return value;
        }
        if (copied.error().code != ERANGE || attempt == 2) {
            return std::unexpected(copied.error());
        }
    }
}

} // namespace

std::expected<Bytes, PosixError> readExtendedAttribute(int fd, std::string_view name)
{
    return readStoredAttribute(fd, platformAttributeName(name));
}

std::expected<void, PosixError> writeExtendedAttribute(int fd, std::string_view name,
                                                       std::string_view value)
{
    return sys::setAttribute(fd, platformAttributeName(name), value.data(), value.size());
}

namespace {

// Linux checks attribute access against the file's permissions, not the
// descriptor's mode, so a read-only descriptor serves writes too. O_NONBLOCK
// keeps a FIFO from blocking the open.
std::expected<FileDescriptor, PosixError> openForAttributes(const std::string& path)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const auto fd = sys::openAt(AT_FDCWD, path, flags);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    return FileDescriptor(*fd);
}

} // namespace

std::expected<Bytes, PosixError> readExtendedAttribute(const std::string& path,
                                                       std::string_view name)
{
    const auto file = openForAttributes(path);
    if (!file) {
        return std::unexpected(file.error());
    }
    return readExtendedAttribute(file->get(), name);
}

std::expected<void, PosixError>
writeExtendedAttribute(const std::string& path, std::string_view name, std::string_view value)
{
    const auto file = openForAttributes(path);
    if (!file) {
        return std::unexpected(file.error());
    }
    return writeExtendedAttribute(file->get(), name, value);
}

AttributeStore::AttributeStore(std::string digestName, std::string stampName)
    : digestName_(platformAttributeName(digestName)),
      stampName_(platformAttributeName(stampName)),
      damagedName_(platformAttributeName(kDamagedAttributeName))
{
}

const std::string& AttributeStore::storedNameOf(EvidenceKind kind) const
{
    switch (kind) {
    case EvidenceKind::digest:
        return digestName_;
    case EvidenceKind::stamp:
        return stampName_;
    case EvidenceKind::damagedMark:
        break;
    }
    return damagedName_;
}

std::expected<std::optional<Bytes>, PosixError> AttributeStore::read(const StoredFile& file,
                                                                     EvidenceKind kind)
{
    auto value = readStoredAttribute(file.fd, storedNameOf(kind));
    if (value) {
        return std::optional<Bytes>(std::move(*value));
    }
    if (value.error().code == ENODATA) {
        return std::optional<Bytes>{};
    }
    return std::unexpected(value.error());
}

std::expected<void, PosixError> AttributeStore::write(const StoredFile& file, EvidenceKind kind,
                                                      std::string_view value)
{
    return sys::setAttribute(file.fd, storedNameOf(kind), value.data(), value.size());
}

std::expected<void, PosixError> AttributeStore::remove(const StoredFile& file, EvidenceKind kind)
{
    const auto removed = sys::removeAttribute(file.fd, storedNameOf(kind));
    if (!removed && removed.error().code != ENODATA) {
        return removed;
    }
    return {};
}

std::shared_ptr<EvidenceStore> attributeStore()
{
    static const auto shared = std::make_shared<AttributeStore>();
    return shared;
}

} // namespace quelby
