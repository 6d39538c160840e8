#include "repair_attributes.h"

#include "engine/platform/attribute_name.h"
#include "engine/sys.h"
#include "engine/tag_store.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace quelby {

namespace {

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

bool isQuelbyAttribute(std::string_view name)
{
    return name == platformAttributeName(kDigestAttributeName) ||
           name == platformAttributeName(kTimeAttributeName);
}

} // namespace

std::expected<void, PosixError> copyOtherAttributes(int from, int to)
{
    const auto names = sys::listAttributes(from);
    if (!names) {
        if (names.error().code == EOPNOTSUPP) {
            return {};
        }
        return std::unexpected(names.error());
    }
    std::size_t start = 0;
    while (start < names->size()) {
        auto end = names->find('\0', start);
        if (end == std::string::npos) {
            end = names->size();
        }
        const std::string name = names->substr(start, end - start);
        start = end + 1;
        if (name.empty() || isQuelbyAttribute(name)) {
            continue;
        }
        const auto value = attributeValue(from, name);
        if (!value) {
            if (value.error().code == ENODATA) {
                continue; // removed meanwhile
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
    }
    return {};
}

// A read-only file refuses user attributes to anyone but root: its owner
// makes it writable for the moment.
std::expected<void, PosixError> removeQuelbyAttributes(int fd, const struct stat& judged)
{
    auto removeBoth = [fd]() -> std::expected<void, PosixError> {
        for (const auto name : {kDigestAttributeName, kTimeAttributeName}) {
            const auto removed = sys::removeAttribute(fd, platformAttributeName(name));
            if (!removed && removed.error().code != ENODATA) {
                return removed;
            }
        }
        return {};
    };
    auto removed = removeBoth();
    if (removed || (removed.error().code != EACCES && removed.error().code != EPERM) ||
        ::geteuid() != judged.st_uid || (judged.st_mode & S_IWUSR) != 0) {
        return removed;
    }
    const mode_t mode = judged.st_mode & 07777;
    if (auto writable = sys::fchmod(fd, mode | S_IWUSR); !writable) {
        return removed;
    }
    removed = removeBoth();
    (void)sys::fchmod(fd, mode);
    return removed;
}

} // namespace quelby
