#pragma once

// The two attributes that carry a file's evidence. The digest attribute holds
// exactly the 32 raw bytes of the SHA-256 digest: no header, no hex, no
// terminator. The time-stamp attribute holds 20 bytes of UTF-8 text such as
// 2024-03-09T17_05_42Z. Anything else stored under the digest name simply
// never matches; it is not an error.

#include "posix_error.h"

#include <expected>
#include <string>
#include <string_view>

namespace quelby {

// Raw bytes of an attribute value.
using Bytes = std::string;

inline constexpr std::string_view kDigestAttributeName = "co.mossgroveware.quelby.hash#S";
inline constexpr std::string_view kTimeAttributeName = "co.mossgroveware.quelby.time#S";

// Reads one attribute of the open file; ENODATA when the file carries none.
std::expected<Bytes, PosixError> readExtendedAttribute(int fd, std::string_view name);

// Creates the attribute or replaces its whole value.
std::expected<void, PosixError> writeExtendedAttribute(int fd, std::string_view name,
                                                       std::string_view value);

// The same by path, following symbolic links to the file they point to.
std::expected<Bytes, PosixError> readExtendedAttribute(const std::string& path,
                                                       std::string_view name);
std::expected<void, PosixError>
writeExtendedAttribute(const std::string& path, std::string_view name, std::string_view value);

} // namespace quelby
