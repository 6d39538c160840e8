#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <ctime>

namespace quelby::test {

// A fresh temporary folder, removed with everything in it when it goes.
class TempTree
{
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    // root + "/" + relative
    std::string path(std::string_view relative) const;
    // Writes a file, making its folders; returns its full path.
    std::string file(std::string_view relative, std::string_view contents = {});
    std::string folder(std::string_view relative);

private:
    std::string root_;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, std::string_view contents);

// The attribute as stored on Linux (with its "user." prefix), or none.
std::optional<std::string> storedAttribute(const std::string& path, std::string_view name);
void storeAttribute(const std::string& path, std::string_view name, std::string_view value);
void removeAttribute(const std::string& path, std::string_view name);
// The digest attribute as stored, or "(none)".
std::string storedDigest(const std::string& path);

// Sets the file's access and modification times; false when that fails.
bool setModificationTime(const std::string& path, time_t seconds, long nanoseconds = 0);

// chattr +i / -i; false when the file system or the user cannot do it.
bool setImmutable(const std::string& path, bool immutable);

// Runs a shell command line; returns its exit status.
int runCommand(const std::string& commandLine);

// The names in folder, sorted, without "." and ".."; none when it cannot be read.
std::vector<std::string> namesIn(const std::string& folder);

// A ramfs, a file system that keeps no user attributes, mounted on folder
// until the object goes. Only root may mount one: unavailable() says why not.
// Declare it after the tree that holds folder, so that it goes first.
class RamfsMount
{
public:
    explicit RamfsMount(std::string folder);
    ~RamfsMount();
    RamfsMount(const RamfsMount&) = delete;
    RamfsMount& operator=(const RamfsMount&) = delete;

    const std::string& unavailable() const { return unavailable_; }

private:
    std::string folder_;
    std::string unavailable_;
};

} // namespace quelby::test
