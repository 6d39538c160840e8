#pragma once

// What the repair tests share: tagged files with a chosen verdict, damage as
// a disk does it, and a snapshot of everything a repair could change.

#include "engine/platform/attribute_name.h"
#include "engine/run_fixture.h"
#include "engine/store/repair_marks.h"
#include "tool_runner.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

namespace quelby::cli {

constexpr std::string_view kStamp = "2024-03-09T17_05_42Z";
constexpr time_t kStampSecond = 1710003942;
constexpr time_t kDamaged = -100; // modified before the stamp's second
constexpr time_t kEdited = 100;
constexpr time_t kUnknown = 0; // within the stamp's own second

inline std::string bytesOfSize(std::size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (std::size_t at = 0; at < size; ++at) {
        bytes[at] = static_cast<char>(seed + static_cast<char>(at * 7 % 251));
    }
    return bytes;
}

// A file tagged with the stamp, its modification time offset from the stamp's second.
inline std::string tagged(test::TempTree& tree, const std::string& relative,
                          const std::string& bytes, time_t offset = kDamaged)
{
    const std::string path = tree.file(relative, bytes);
    test::tagByHand(path, kStamp);
    EXPECT_TRUE(test::setModificationTime(path, kStampSecond + offset)) << path;
    return path;
}

// Flips one bit and puts the modification time back: damage as a disk does it.
inline void flipBit(const std::string& path)
{
    struct stat before = {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::string bytes = test::readWholeFile(path);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
    test::writeWholeFile(path, bytes);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

inline int shell(const std::string& commandLine)
{
    return test::runCommand(commandLine + " >/dev/null 2>&1");
}

// Everything a tree holds that repair could change: per entry its type,
// bytes, every attribute, mode, owner, inode and modification time.
inline std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        struct stat info = {};
        ::lstat(path.c_str(), &info);
        std::ostringstream text;
        text << info.st_mode << ' ' << info.st_uid << ':' << info.st_gid << ' ' << info.st_ino
             << ' ' << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << '\n';
        if (S_ISREG(info.st_mode)) {
            text << test::readWholeFile(path) << '\n';
        }
        std::string names(65536, '\0');
        const ssize_t length = ::llistxattr(path.c_str(), names.data(), names.size());
        names.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        std::vector<std::string> sorted;
        for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
            sorted.emplace_back(names.c_str() + at);
        }
        std::sort(sorted.begin(), sorted.end());
        for (const auto& name : sorted) {
            std::string value(65536, '\0');
            const ssize_t size =
                ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
            value.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
            text << name << '=' << value << '\n';
        }
        entries[path.substr(root.size())] = text.str();
    }
    return entries;
}

inline ino_t inodeOf(const std::string& path)
{
    struct stat info = {};
    ::lstat(path.c_str(), &info);
    return info.st_ino;
}

using test::namesIn;

} // namespace quelby::cli
