#pragma once

// One line of a list of SHA-256 digests given to import, made by sha256sum,
// rhash, a camera's import tool or an earlier export. Bytes only; whether a
// listed path stays inside the folder is for the caller to judge.
//
// Accepted, with the hex in either case and a trailing carriage return dropped:
//   <64 hex>  <path>             text form
//   <64 hex> *<path>             binary form
//   \<64 hex>  <escaped path>    either form, with "\\", "\n" and "\r" in the path
//   SHA256 (<path>) = <64 hex>   BSD form, also after a leading '\' for an escaped path

#include "engine/store/evidence_store.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quelby {

// A listed file: its raw relative path as listed, and the 32 raw digest bytes.
struct ListedDigest
{
    std::string path;
    Bytes digest;

    bool operator==(const ListedDigest&) const = default;
};

// Reads one line, given without its line feed. A blank line (nothing, or only
// spaces and tabs) and a line starting with '#' list nothing: no value. Any
// other line that is not a digest line gives the reason in words, such as
// "not a SHA-256 line" or "the digest is not 64 hex digits".
std::expected<std::optional<ListedDigest>, std::string> parseSumsLine(std::string_view line);

} // namespace quelby
