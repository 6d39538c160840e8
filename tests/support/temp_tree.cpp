#include "temp_tree.h"

#include "engine/store/tag_store.h"
#include "engine/platform/attribute_name.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace quelby::test {

namespace {

std::string quoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text) {
        if (c == '\'') {
            result += "'\\''";
        } else {
            result += c;
        }
    }
    return result + "'";
}

void makeFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0755);
}

} // namespace

TempTree::TempTree()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quelby-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = buffer.data();
    // Tests that drop privileges still need to reach the tree.
    ::chmod(root_.c_str(), 0755);
}

TempTree::~TempTree()
{
    runCommand("chattr -R -i " + quoted(root_) + " >/dev/null 2>&1; chmod -R u+rwx " +
               quoted(root_) + " 2>/dev/null; rm -rf " + quoted(root_));
}

std::string TempTree::path(std::string_view relative) const
{
    return root_ + "/" + std::string(relative);
}

std::string TempTree::file(std::string_view relative, std::string_view contents)
{
    const std::string full = path(relative);
    makeFolders(full.substr(0, full.rfind('/')));
    writeWholeFile(full, contents);
    return full;
}

std::string TempTree::folder(std::string_view relative)
{
    const std::string full = path(relative);
    makeFolders(full);
    return full;
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void writeWholeFile(const std::string& path, std::string_view contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::optional<std::string> storedAttribute(const std::string& path, std::string_view name)
{
    const std::string stored = platformAttributeName(name);
    const ssize_t size = ::getxattr(path.c_str(), stored.c_str(), nullptr, 0);
    if (size < 0) {
        return std::nullopt;
    }
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t copied = ::getxattr(path.c_str(), stored.c_str(), value.data(), value.size());
    if (copied < 0) {
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(copied));
    return value;
}

void storeAttribute(const std::string& path, std::string_view name, std::string_view value)
{
    const std::string stored = platformAttributeName(name);
    if (::setxattr(path.c_str(), stored.c_str(), value.data(), value.size(), 0) != 0) {
        throw std::runtime_error("setxattr failed on " + path);
    }
}

void removeAttribute(const std::string& path, std::string_view name)
{
    ::removexattr(path.c_str(), platformAttributeName(name).c_str());
}

bool setModificationTime(const std::string& path, time_t seconds, long nanoseconds)
{
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool setImmutable(const std::string& path, bool immutable)
{
    return runCommand(std::string("chattr ") + (immutable ? "+i " : "-i ") + quoted(path) +
                      " >/dev/null 2>&1") == 0;
}

int runCommand(const std::string& commandLine)
{
    const int status = std::system(commandLine.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string storedDigest(const std::string& path)
{
    return storedAttribute(path, kDigestAttributeName).value_or("(none)");
}

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* stream = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(stream)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
        }
        ::closedir(stream);
    }
    std::ranges::sort(names);
    return names;
}

RamfsMount::RamfsMount(std::string folder) : folder_(std::move(folder))
{
    if (::mount("ramfs", folder_.c_str(), "ramfs", 0, nullptr) != 0) {
        unavailable_ = std::string("cannot mount a ramfs here: ") + std::strerror(errno);
    }
}

RamfsMount::~RamfsMount()
{
    if (unavailable_.empty()) {
        ::umount2(folder_.c_str(), MNT_DETACH);
    }
}

} // namespace quelby::test
