#include "engine/repair/repair_attributes.h"

#include "engine/platform/attribute_name.h"
#include "engine/platform/sys.h"
#include "engine/store/repair_marks.h"
#include "engine/store/tag_store.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unistd.h>
#include <vector>

namespace quelby {

namespace {

constexpr std::string_view kCapability = "security.capability";

std::expected<std::string, PosixError> attributeValue(int fd, const std::string& name)
{
    for (int attempt = 0;; ++attempt) {
        const auto size = sys::getAttribute(fd, name, nullptr, 0);
        if (!size) {
            return std::unexpected(size.error());
        }
        std::string value(*size, '\0');
        const auto copied = sys::getAttribute(fd, name, value.data(), value.size());
        if (copied) {
            value.resize(*copied);
            return value;
        }
        if (copied.error().code != ERANGE || attempt == 2) {
            return std::unexpected(copied.error());
        }
    }
}

// The attribute names of the file; none on a file system without attributes.
std::expected<std::vector<std::string>, PosixError> attributeNames(int fd)
{
    const auto names = sys::listAttributes(fd);
    if (!names) {
        if (names.error().code == EOPNOTSUPP) {
            return std::vector<std::string>{};
        }
        return std::unexpected(names.error());
    }
    std::vector<std::string> list;
    std::size_t start = 0;
    while (start < names->size()) {
        auto end = names->find('\0', start);
        if (end == std::string::npos) {
            end = names->size();
        }
        if (end > start) {
            list.push_back(names->substr(start, end - start));
        }
        start = end + 1;
    }
    return list;
}

bool isQuelbyAttribute(std::string_view name)
{
    return name == platformAttributeName(kDigestAttributeName) ||
           name == platformAttributeName(kTimeAttributeName);
}

// The attributes a repaired file must carry exactly as the damaged one did.
bool mustMatch(std::string_view name)
{
    return name.starts_with("user.") || name.starts_with("system.posix_acl_") ||
           name == kCapability;
}

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The value, or none when the file lacks the attribute.
std::expected<std::optional<std::string>, PosixError> valueIfAny(int fd, const std::string& name)
{
    auto value = attributeValue(fd, name);
    if (!value) {
        if (value.error().code == ENODATA) {
            return std::optional<std::string>{};
        }
        return std::unexpected(value.error());
    }
    return std::optional<std::string>(std::move(*value));
}

std::expected<void, PosixError> copyOne(int from, int to, const std::string& name)
{
    const auto value = attributeValue(from, name);
    if (!value) {
        if (value.error().code == ENODATA) {
            return {}; // removed meanwhile; the check before the exchange sees it
        }
        return std::unexpected(value.error());
    }
    const auto written = sys::setAttribute(to, name, value->data(), value->size());
    if (!written) {
        const int error = written.error().code;
        const bool mayBeRefused =
            error == EPERM || error == EACCES || error == EOPNOTSUPP || error == ENOTSUP;
        if (name.starts_with("user.") || !mayBeRefused) {
            return std::unexpected(written.error());
        }
    }
    return {};
}

} // namespace

std::expected<void, PosixError> removeAttributesMissingFrom(int from, int to)
{
    const auto wanted = attributeNames(from);
    if (!wanted) {
        return std::unexpected(wanted.error());
    }
    const auto present = attributeNames(to);
    if (!present) {
        return std::unexpected(present.error());
    }
    for (const std::string& name : *present) {
        if (mustMatch(name) && !contains(*wanted, name)) {
            const auto removed = sys::removeAttribute(to, name);
            if (!removed && removed.error().code != ENODATA) {
                return removed;
            }
        }
    }
    return {};
}

std::expected<void, PosixError> copyOtherAttributes(int from, int to)
{
    const auto names = attributeNames(from);
    if (!names) {
        return std::unexpected(names.error());
    }
    for (const std::string& name : *names) {
        if (isQuelbyAttribute(name) || name == kCapability) {
            continue;
        }
        if (auto copied = copyOne(from, to, name); !copied) {
            return copied;
        }
    }
    return {};
}

std::expected<void, PosixError> copyCapability(int from, int to)
{
    const auto names = attributeNames(from);
    if (!names) {
        return std::unexpected(names.error());
    }
    const std::string capability(kCapability);
    return contains(*names, capability) ? copyOne(from, to, capability)
                                        : std::expected<void, PosixError>{};
}

std::expected<std::optional<std::string>, PosixError> attributeNotKept(int from, int to)
{
    const auto fromNames = attributeNames(from);
    if (!fromNames) {
        return std::unexpected(fromNames.error());
    }
    const auto toNames = attributeNames(to);
    if (!toNames) {
        return std::unexpected(toNames.error());
    }
    std::vector<std::string> names;
    for (const auto* list : {&*fromNames, &*toNames}) {
        for (const std::string& name : *list) {
            if ((name.starts_with("user.") || name == "system.posix_acl_access" ||
                 name == kCapability) &&
                !contains(names, name)) {
                names.push_back(name);
            }
        }
    }
    for (const std::string& name : names) {
        const auto expected = valueIfAny(from, name);
        if (!expected) {
            return std::unexpected(expected.error());
        }
        const auto kept = valueIfAny(to, name);
        if (!kept) {
            return std::unexpected(kept.error());
        }
        if (*expected != *kept) {
            return std::optional<std::string>(name);
        }
    }
    return std::optional<std::string>{};
}

// A read-only file refuses user attributes to anyone but root: its owner
// makes it writable for the moment.
std::expected<void, PosixError> markAsDamaged(EvidenceStore& evidence, int fd,
                                              const std::string& name, const struct stat& judged,
                                              std::string_view mark)
{
    EvidenceSlot slot;
    const StoredFile file{fd, name, slot};
    auto markAndClear = [&evidence, &file, mark]() -> std::expected<void, PosixError> {
        // The mark first: a file found with both is still known for what it is.
        if (auto marked = evidence.write(file, EvidenceKind::damagedMark, mark); !marked) {
            return marked;
        }
        for (const auto kind : {EvidenceKind::digest, EvidenceKind::stamp}) {
            if (auto removed = evidence.remove(file, kind); !removed) {
                return removed;
            }
        }
        return {};
    };
    auto done = markAndClear();
    if (done || (done.error().code != EACCES && done.error().code != EPERM) ||
        ::geteuid() != judged.st_uid || (judged.st_mode & S_IWUSR) != 0) {
        return done;
    }
    const mode_t mode = judged.st_mode & 07777;
    if (auto writable = sys::fchmod(fd, mode | S_IWUSR); !writable) {
        return done;
    }
    done = markAndClear();
    (void)sys::fchmod(fd, mode);
    return done;
}

} // namespace quelby
