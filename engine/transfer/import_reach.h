#pragma once

// Finding a listed file below an import's folder: the folders on the way
// opened one name at a time, a link on the way never followed, and the last
// name opened as the walk opens an entry, so that a link to a file inside
// the folder is taken as the walk takes one.

#include "engine/platform/posix_error.h"
#include "engine/platform/sys.h"
#include "engine/run/entry_open.h"

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quelby {

struct Reached
{
    enum class Kind
    {
        file,
        special, // no regular file, or the folder itself
        missing,
        leaves,
        failed
    };
    Kind kind = Kind::failed;
    OpenedEntry opened;
    std::string reason;
};

// The folder at folderKey below root ("" for root itself); why it could not
// be reached when it cannot.
std::expected<std::shared_ptr<const FileDescriptor>, Reached>
reachFolder(int root, std::string_view folderKey);

// The listed file at key below root, opened for reading when it is a regular file.
Reached reach(int root, const std::string& key, const TreeRules& rules,
              PseudoFileSystems& pseudoFileSystems);

// Whether the file reached for judging is the one read before, unchanged: a
// file rewritten in place in between has a new mtime or ctime.
bool sameFileAsRead(const struct stat& read, const struct stat& now);

} // namespace quelby
