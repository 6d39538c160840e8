#pragma once

// The lines of a manifest file, .quelby.sha256, made and read as bytes; no
// file system here. docs/manifest.md describes the format for users.
//
// A manifest is GNU sha256sum's text format, so that `sha256sum -c --strict`
// verifies it, plus lines of our own that start with '#', which sha256sum
// skips:
//
//   # Quelby manifest 1                          always the first line
//   <64 lowercase hex>  <path>                   a file's digest
//   #time 2024-03-09T17_05_42Z  <path>           its stamp, after its digest
//
// A path holding a backslash, a line feed or a carriage return is escaped as
// sha256sum escapes it: a digest line then starts with '\', and in the path
// '\' is written "\\", LF "\n" and CR "\r". A stamp line's path is escaped the
// same way but carries no mark: an unescaped path never holds a backslash, so
// a path is escaped exactly when it holds one. Every other byte is written as
// it is, invalid UTF-8 included.
//
// Reading takes one line at a time (without its line feed), so a reader's
// memory does not grow with the manifest. Every line, readable or not, comes
// back with its bytes, so a rewrite can keep what it does not understand.

#include "engine/store/evidence_store.h"
#include "engine/store/file_names.h"

#include <optional>
#include <string>
#include <string_view>

namespace quelby {

inline constexpr std::string_view kManifestHeader = "# Quelby manifest 1";

enum class ManifestLineKind
{
    header,  // exactly kManifestHeader
    digest,  // an entry naming a file, its digest well formed or not
    stamp,   // "#time STAMP  PATH", the stamp well formed or not
    damaged, // "#damaged STAMP  PATH": damaged bytes a repair kept, and when
    comment, // any other line starting with '#': belongs to no entry
    blank,   // an empty line
    unreadable
};

// One line as read. path is the raw name (unescaped) for digest and stamp
// lines, empty otherwise. value is the 32 raw digest bytes of a digest line,
// or the 20-byte stamp of a stamp line; none when that field is malformed
// (wrong length, not hex, not a real date) while the path could still be
// found. text is the line exactly as given, trailing carriage return
// included, so a rewrite can write it back as it was.
struct ManifestLine
{
    ManifestLineKind kind = ManifestLineKind::unreadable;
    std::string path;
    std::optional<Bytes> value;
    std::string text;

    bool operator==(const ManifestLine&) const = default;
};

// Reads one line of a manifest, given without its line feed; a carriage
// return before the line feed is dropped as sha256sum drops it.
//
// A line is an entry when it has the shape FIELD, space, marker, PATH: FIELD
// is one or more bytes up to the first space, the marker is a second space
// (or '*', sha256sum's binary mode), and PATH is not empty and unescapes
// cleanly. The entry's digest is well formed when FIELD is exactly 64 hex
// digits (either case); otherwise the entry is malformed for PATH and judged
// as a malformed stored digest. A line without that shape is unreadable. A
// stamp line has the same shape after "#time ", with two spaces.
ManifestLine parseManifestLine(std::string_view line);

// The digest line, line feed included, of a 32-byte digest; none when the
// digest is not 32 bytes or the path is empty or holds a NUL byte.
std::optional<std::string> manifestDigestLine(std::string_view path, std::string_view digest);

// The stamp line, line feed included; none when the stamp is not a real
// 20-byte stamp such as 2024-03-09T17_05_42Z, or the path is unusable.
std::optional<std::string> manifestStampLine(std::string_view path, std::string_view stamp);

// The line that marks damaged bytes a repair kept at path, in the stamp
// line's form; none as for manifestStampLine.
std::optional<std::string> manifestDamagedLine(std::string_view path, std::string_view stamp);

// True when relative path a comes before b in the order the walk visits
// them: component by component, bytes compared unsigned. That is byte order
// with '/' lower than every other byte, so "a" < "a/b" < "a-c".
bool walkOrderLess(std::string_view a, std::string_view b);

// The path as sha256sum writes it: '\' as "\\", LF as "\n", CR as "\r". The
// caller marks a digest line that needs it with a leading '\'.
std::string escapedPath(std::string_view path);
bool pathNeedsEscape(std::string_view path);

// The inverse of escapedPath; none for any other escape or a lone '\' at the end.
std::optional<std::string> unescapedPath(std::string_view escaped);

// Bytes as lowercase hex digits, two a byte.
std::string lowerHex(std::string_view bytes);

// The 32 raw bytes of 64 hex digits in either case; none for anything else.
std::optional<Bytes> digestFromHex(std::string_view hex);

} // namespace quelby
