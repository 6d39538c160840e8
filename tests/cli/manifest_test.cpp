// The manifest store attacked through the built tool on real file systems
// that keep no user attributes (ramfs, exFAT through FUSE) and on the work
// disk: odd names against sha256sum, missing files, shared manifests, kills
// and stops during the write, a second writer, corrupt manifests, the choice
// of store, foreign order and the manifest's owner and mode.

#include "engine/evidence/manifest_format.h"
#include "engine/evidence/manifest_sort.h"
#include "engine/read/file_digest.h"
#include "engine/store/tag_store.h"
#include "engine/sum_tools.h"
#include "support/hex.h"
#include "support/scripted_system_calls.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"
#include "tool_runner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelby::cli {
namespace {

using test::hex;
using test::openedPath;
using test::readWholeFile;
using test::storedDigest;
using test::sha256Of;
using test::writeWholeFile;

constexpr const char* kManifest = ".quelby.sha256";

enum class FileSystem
{
    ramfs,
    exfat
};

const char* nameOf(FileSystem kind)
{
    return kind == FileSystem::ramfs ? "ramfs" : "exFAT";
}

// A fresh file system without user attributes at root(), unmounted when the
// object goes, whatever assertion failed before.
class AttributelessMount
{
public:
    explicit AttributelessMount(FileSystem kind) : kind_(kind), root_(tree_.folder("mnt"))
    {
        if (kind == FileSystem::ramfs) {
            unavailable_ = ramfs_.emplace(root_).unavailable();
            return;
        }
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            unavailable_ = "no /dev/fuse here, so no exFAT through FUSE";
            return;
        }
        if (test::runCommand("command -v mkfs.exfat mount.exfat-fuse >/dev/null") != 0) {
            unavailable_ = "exfatprogs and exfat-fuse are not installed";
            return;
        }
        // exfat-fuse as root asks for a block device, so the image goes through a loop device.
        const std::string image = tree_.path("exfat.img");
        if (test::runCommand("truncate -s 64M " + image + " && mkfs.exfat " + image +
                             " >/dev/null 2>&1 && mount -t exfat-fuse -o loop " + image + " " +
                             root_ + " >/dev/null 2>&1") != 0) {
            unavailable_ = "cannot mount an exFAT image through FUSE here (no loop device?)";
            return;
        }
        mounted_ = true;
    }
    ~AttributelessMount()
    {
        if (mounted_ && ::umount2(root_.c_str(), 0) != 0) {
            ::umount2(root_.c_str(), MNT_DETACH);
        }
    }
    AttributelessMount(const AttributelessMount&) = delete;
    AttributelessMount& operator=(const AttributelessMount&) = delete;

    const std::string& unavailable() const { return unavailable_; }
    const std::string& root() const { return root_; }
    FileSystem kind() const { return kind_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    std::string file(const std::string& relative, std::string_view contents) const
    {
        const std::string full = path(relative);
        for (std::size_t slash = full.find('/', root_.size() + 1); slash != std::string::npos;
             slash = full.find('/', slash + 1)) {
            ::mkdir(full.substr(0, slash).c_str(), 0755);
        }
        writeWholeFile(full, contents);
        return full;
    }

private:
    FileSystem kind_;
    test::TempTree tree_;
    std::string root_;
    std::optional<test::RamfsMount> ramfs_;
    std::string unavailable_;
    bool mounted_ = false;
};

#define SKIP_UNLESS_MOUNTED(mount)                                                                 \
    if (!(mount).unavailable().empty()) {                                                          \
        GTEST_SKIP() << (mount).unavailable();                                                     \
    }

bool exists(const std::string& path)
{
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// The digest lines of a manifest as path and hex digest, in the file's order, read
// by the manifest's own reader. A line of another shape fails the test that asked:
// ours write none.
std::vector<std::pair<std::string, std::string>> entriesOf(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& line : linesOf(text)) {
        const ManifestLine read = parseManifestLine(line);
        if (read.kind != ManifestLineKind::digest) {
            EXPECT_TRUE(line.empty() || line.front() == '#') << "not a digest line: " << line;
        } else if (!read.value || line.compare(line.front() == '\\' ? 65 : 64, 2, "  ") != 0) {
            ADD_FAILURE() << "not a digest line as ours are written: " << line;
        } else {
            entries.emplace_back(read.path, hex(*read.value));
        }
    }
    return entries;
}

// The lines of a manifest that name path (its digest and stamp lines), as bytes.
std::string linesNaming(const std::string& manifest, const std::string& prefix)
{
    std::string kept;
    for (const std::string& line : linesOf(manifest)) {
        const std::size_t gap = line.find("  ");
        if (gap != std::string::npos && line.compare(gap + 2, prefix.size(), prefix) == 0) {
            kept += line + "\n";
        }
    }
    return kept;
}

// sha256sum's own verdict on the manifest in folder: status and everything it said.
test::ToolRun sha256sumCheck(const std::string& folder)
{
    return test::runIn(folder, {"sha256sum", "-c", "--strict", "--quiet", kManifest});
}

std::string keptIn(const std::string& folder)
{
    return "Digests are kept in " + folder + "/" + kManifest + "\n";
}

std::size_t count(const std::string& text, std::string_view piece)
{
    std::size_t found = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++found;
    }
    return found;
}

// Odd names go every way a digest travels: tag into a manifest where the file
// system keeps no attributes, sha256sum -c over it and over export's lists, a
// copy that loses the evidence, import into the copy's attributes or into a
// manifest that holds other digests, and Check.
TEST(Manifest, OddNamesRoundTripThroughTagExportSha256sumImportAndCheck)
{
    for (const FileSystem kind : {FileSystem::ramfs, FileSystem::exfat}) {
        SCOPED_TRACE(nameOf(kind));
        AttributelessMount mount(kind);
        if (!mount.unavailable().empty()) {
            if (kind == FileSystem::ramfs) {
                GTEST_SKIP() << mount.unavailable();
            }
            std::cout << "[ SKIPPED  ] exFAT: " << mount.unavailable() << "\n";
            continue;
        }
        const std::string f = mount.path("source");
        const std::string photo = "sub/deeper/\xc3\xa9t\xc3\xa9 photo.jpg";
        std::vector<std::string> refused;
        std::vector<std::string> written{photo};
        mount.file("source/" + photo, photo);
        for (const std::string& name : test::oddNames()) {
            const int fd = ::open((f + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) {
                refused.push_back(name); // exFAT refuses \, LF, CR and invalid UTF-8 in names
                continue;
            }
            EXPECT_EQ(::write(fd, name.data(), name.size()), static_cast<ssize_t>(name.size()));
            ::close(fd);
            written.push_back(name);
        }
        if (kind == FileSystem::ramfs) {
            EXPECT_TRUE(refused.empty()) << refused.size() << " names refused on ramfs";
        } else if (!refused.empty()) {
            std::cout << "[   NOTE   ] exFAT refused " << refused.size()
                      << " odd names (backslash, line feed, carriage return, invalid UTF-8); "
                         "they are covered on ramfs\n";
        }
        const std::string n = std::to_string(written.size());
        const auto [tagStatus, tagOut, tagErr] = runTool({"tag", "--times", f});
        EXPECT_EQ(tagStatus, 0) << tagOut << tagErr;
        EXPECT_EQ(tagErr, keptIn(f));
        const std::string manifest = readWholeFile(f + "/" + kManifest);
        EXPECT_TRUE(manifest.starts_with("# Quelby manifest 1\n")) << manifest;
        EXPECT_EQ(entriesOf(manifest).size(), written.size()) << manifest;
        const auto verified = sha256sumCheck(f);
        EXPECT_EQ(verified.status, 0) << verified.output;
        EXPECT_EQ(verified.output, "");
        const auto [checkStatus, checkOut, checkErr] = runTool({"check", f});
        EXPECT_EQ(checkStatus, 0) << checkOut << checkErr;
        EXPECT_NE(checkOut.find("\t" + n + " matched digest correctly\n"), std::string::npos)
            << checkOut;
        const auto [exportStatus, sums, exportErr] = runTool({"export", f});
        EXPECT_EQ(exportStatus, 0);
        EXPECT_EQ(exportErr, keptIn(f) + "Exported " + n + " digests from " + f +
                                 "; 0 files had none.\n");
        test::TempTree lists;
        const std::string list = lists.file("sums", sums);

        // Both forms of the list, read back by sha256sum; a file without a digest is counted.
        mount.file("source/untagged", "g");
        for (const std::string form : {"", "--tag"}) {
            std::vector<std::string> args = {"export", f};
            if (!form.empty()) {
                args.insert(args.begin() + 1, form);
            }
            const auto [status, out, err] = runTool(args);
            EXPECT_EQ(status, 3) << form;
            EXPECT_EQ(err, keptIn(f) + "Exported " + n + " digests from " + f +
                               "; 1 file had none.\n");
            EXPECT_EQ(count(out, "\n"), written.size()) << out; // line feeds in names are escaped
            lists.file("sums" + form, out);
            EXPECT_EQ(test::runIn(f, {"sha256sum", "-c", "--strict", lists.path("sums" + form)})
                          .status,
                      0)
                << form << "\n" << out;
        }
        const auto [jsonStatus, json, jsonErr] = runTool({"export", "--json", f});
        std::istringstream objects(json);
        std::vector<std::string> paths;
        for (std::string line; std::getline(objects, line);) {
            const auto object = nlohmann::json::parse(line);
            paths.push_back(object.value("path", ""));
            EXPECT_EQ(object["digest"].get<std::string>().size(), 64u);
        }
        std::vector<std::string> shown = written;
        std::ranges::sort(shown, walkOrderLess);
        for (std::string& name : shown) {
            if (name.starts_with("\xff\xfe")) {
                name.replace(0, 2, "\xef\xbf\xbd\xef\xbf\xbd");
            }
        }
        EXPECT_EQ(paths, shown);

        // A copy onto a disk with attributes, without the manifest: import stores the list's.
        test::TempTree disk;
        const std::string copy = disk.path("copy");
        ASSERT_EQ(test::runIn(lists.root(), {"cp", "-r", f, copy}).status, 0);
        ASSERT_EQ(::unlink((copy + "/" + kManifest).c_str()), 0);
        ASSERT_EQ(storedDigest(copy + "/" + photo), "(none)");
        const auto [status, out, err] = runTool({"import", list, copy});
        EXPECT_EQ(status, 0) << err;
        EXPECT_EQ(count(out, "✅ Imported "), written.size()) << out;
        EXPECT_TRUE(out.ends_with("Imported " + n + " of " + n + " listed files into " + copy +
                                  ".\n"))
            << out;
        for (const std::string& name : written) {
            EXPECT_EQ(storedDigest(copy + "/" + name), digestOfBytes(name).view()) << name;
        }
        EXPECT_EQ(storedDigest(copy + "/untagged"), "(none)");
        // Again, from the BSD form: all imported already, so no line but the summary.
        EXPECT_EQ(runTool({"import", lists.path("sums--tag"), copy}),
                  (Outcome{0, "Imported " + n + " of " + n + " listed files into " + copy + ".\n",
                           ""}));
        // The attributes give back the very list the manifest gave.
        EXPECT_EQ(runTool({"export", copy}),
                  (Outcome{3, sums,
                           "Exported " + n + " digests from " + copy + "; 1 file had none.\n"}));
        EXPECT_EQ(std::get<0>(runTool({"tag", "--store", "attributes", copy})), 0);

        // A copy beside it whose own manifest names a different digest for one file, has
        // lost the entries of two others, and holds one damaged file.
        if (kind == FileSystem::ramfs) {
            const std::string beside = mount.path("copy");
            ASSERT_EQ(test::runIn(lists.root(), {"cp", "-r", f, beside}).status, 0);
            ASSERT_EQ(::unlink((beside + "/" + kManifest).c_str()), 0);
            mount.file("copy/back\\slash", "edited");
            ASSERT_EQ(std::get<0>(runTool({"tag", "--store", "manifest", beside})), 0);
            const std::string before = readWholeFile(beside + "/" + kManifest);
            mount.file("copy/back\\slash", "back\\slash");
            mount.file("copy/line\nfeed", "damaged");
            std::string shorter;
            for (const std::string& line : linesOf(before)) {
                if (!line.ends_with("  plain.jpg") && !line.ends_with("  with space")) {
                    shorter += line + "\n";
                }
            }
            ASSERT_EQ(count(before, "\n"), count(shorter, "\n") + 2);
            ASSERT_EQ(::unlink((beside + "/" + kManifest).c_str()), 0);
            writeWholeFile(beside + "/" + kManifest, shorter);
            const auto [importStatus, importOut, importErr] = runTool({"import", list, beside});
            EXPECT_EQ(importStatus, 1);
            EXPECT_TRUE(importOut.starts_with("⚠️ Kept the stored digest of " + beside +
                                              "/back\\x5cslash\n"))
                << importOut;
            EXPECT_EQ(count(importOut, "aren't equal"), 1u) << importOut;
            EXPECT_TRUE(importOut.ends_with("Imported " + std::to_string(written.size() - 2) +
                                            " of " + n + " listed files into " + beside + ".\n"))
                << importOut;
            EXPECT_EQ(importErr, keptIn(beside));
            EXPECT_EQ(readWholeFile(beside + "/" + kManifest), before);
        }

        // Export and Check never create a manifest.
        const std::string bare = mount.path("bare");
        mount.file("bare/x", "x");
        EXPECT_EQ(runTool({"export", bare}),
                  (Outcome{3, "", keptIn(bare) + "Exported 0 digests from " + bare +
                                      "; 1 file had none.\n"}));
        EXPECT_FALSE(exists(bare + "/" + kManifest));

        // The digests really are the files': one changed file differs.
        writeWholeFile(f + "/" + photo, "winter");
        EXPECT_EQ(std::get<0>(runTool({"check", f})), 1);
        EXPECT_EQ(readWholeFile(f + "/" + kManifest), manifest) << "a Check wrote the manifest";
    }
}

TEST(Manifest, MissingFilesAreReportedOrDroppedAndExcludedOnesStayByteForByte)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    for (const char* name : {"a", "b", "gone", "skip.tmp", "sub/c", "sub/gone too"}) {
        mount.file(name, name);
    }
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", f})), 0);
    const std::string tagged = readWholeFile(mount.path(kManifest));
    const std::string excludedLines = linesNaming(tagged, "skip.tmp");
    ASSERT_FALSE(excludedLines.empty()) << tagged;
    ASSERT_EQ(::unlink(mount.path("gone").c_str()), 0);
    writeWholeFile(mount.path("skip.tmp"), "changed, but excluded");

    const auto [status, out, err] = runTool({"check", "--exclude", "*.tmp", f});
    EXPECT_EQ(status, 1) << err;
    EXPECT_EQ(out, "❌ Missing " + f + "/gone\nChecked a total of 4 files in " + f +
                       "\t4 matched digest correctly\n\t0 didn't match their digest\n"
                       "\t0 had no digest.\n\t1 listed file was missing.\n");
    EXPECT_EQ(readWholeFile(mount.path(kManifest)), tagged);

    // A repair rewrites the manifest but did not act on the gone file: its digest and stamp stay.
    test::TempTree noCopies;
    const auto [repairStatus, repairOut, repairErr] =
        runTool({"repair", "--from", noCopies.root(), f});
    EXPECT_NE(repairOut.find("Repaired 0 of 0 damaged files in " + f), std::string::npos)
        << repairStatus << repairOut << repairErr;
    EXPECT_EQ(readWholeFile(mount.path(kManifest)), tagged);

    // A file that is there but not visited is never missing; one that is gone is dropped.
    const struct
    {
        std::vector<std::string> args;
        std::string gone;
    } writers[] = {{{"tag", "--exclude", "*.tmp", f}, "gone"},
                   {{"retag", "--exclude", "*.tmp", f}, "sub/gone too"}};
    for (const auto& c : writers) {
        SCOPED_TRACE(c.args.front());
        ::unlink(mount.path(c.gone).c_str());
        ASSERT_FALSE(exists(mount.path(c.gone)));
        // A dry run says what it would drop and leaves the manifest as it is.
        const std::string manifestBefore = readWholeFile(mount.path(kManifest));
        std::vector<std::string> dryRun = c.args;
        dryRun.insert(dryRun.begin() + 1, "--dry-run");
        const auto [dryStatus, dryOut, dryErr] = runTool(dryRun);
        EXPECT_EQ(dryStatus, 0) << dryErr;
        EXPECT_NE(dryOut.find("Would drop the digest of missing " + f + "/" + c.gone + "\n"),
                  std::string::npos)
            << dryOut;
        EXPECT_EQ(readWholeFile(mount.path(kManifest)), manifestBefore);
        const auto [writeStatus, writeOut, writeErr] = runTool(c.args);
        EXPECT_EQ(writeStatus, 0) << writeErr;
        EXPECT_NE(writeOut.find("⚠️ Dropped the digest of missing " + f + "/" + c.gone + "\n"),
                  std::string::npos)
            << writeOut;
        EXPECT_EQ(writeOut.find("Missing " + f + "/skip.tmp"), std::string::npos) << writeOut;
        const std::string now = readWholeFile(mount.path(kManifest));
        EXPECT_EQ(linesNaming(now, c.gone), "") << now;
        EXPECT_EQ(linesNaming(now, "skip.tmp"), excludedLines) << now;
        EXPECT_EQ(sha256sumCheck(f).status, 1) << "the excluded file changed, its digest stays";
    }
    const auto [after, afterOut, afterErr] = runTool({"check", "--exclude", "*.tmp", f});
    EXPECT_EQ(after, 0) << afterOut << afterErr;
}

TEST(Manifest, ARunOverOneFolderLeavesEveryOtherFoldersEntriesByteForByte)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string top = mount.root();
    // Siblings whose names start like "x" and sort around "x/" in walk order.
    const std::vector<std::string> others = {"x y/1", "x-y/1", "x.y/1", "xa/1", "y/1",
                                             "y/sub/2", "top-file", "w/1"};
    for (const auto& name : others) {
        mount.file(name, name);
    }
    for (const char* name : {"x/1", "x/sub/2", "x/sub/3"}) {
        mount.file(name, name);
    }
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", top})), 0);
    std::string manifest = readWholeFile(mount.path(kManifest));
    // A comment and a line of another tool between the others' entries stay too.
    manifest += "# kept by hand\nnot a digest line\n";
    writeWholeFile(mount.path(kManifest), manifest);
    auto outsideX = [](const std::string& text) {
        std::string kept;
        for (const std::string& line : linesOf(text)) {
            if (line.find("  x/") == std::string::npos) {
                kept += line + "\n";
            }
        }
        return kept;
    };
    const std::string before = outsideX(manifest);

    // The others change, vanish and gain files; none of it is the run's business.
    writeWholeFile(mount.path("y/1"), "edited");
    ASSERT_EQ(::unlink(mount.path("x-y/1").c_str()), 0);
    ASSERT_EQ(::unlink(mount.path("xa/1").c_str()), 0);
    mount.file("y/new", "new");
    writeWholeFile(mount.path("x/1"), "edited in x");
    ASSERT_EQ(::unlink(mount.path("x/sub/3").c_str()), 0);
    mount.file("x/new", "new in x");

    const std::string x = mount.path("x");
    const std::string replaced = "quelby-cli: 1 stored digest differs and was replaced; check "
                                 "first, or use --new-only or --only-edited to keep them as "
                                 "evidence\n";
    const struct
    {
        std::vector<std::string> args;
        int status;
        std::string warning; // the edited x/1's digest replaced
    } runs[] = {{{"check", x}, 1, ""},
                {{"tag", x}, 0, replaced},
                {{"retag", "--times", x}, 0, ""},
                {{"check", x}, 0, ""}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args.front());
        const auto [status, out, err] = runTool(run.args);
        EXPECT_EQ(status, run.status) << out << err;
        EXPECT_EQ(err, keptIn(top) + run.warning);
        for (const char* other : {"x-y", "xa", "y/"}) {
            EXPECT_EQ(out.find(top + "/" + other), std::string::npos) << out;
        }
        EXPECT_EQ(outsideX(readWholeFile(mount.path(kManifest))), before);
    }
    const auto inX = linesNaming(readWholeFile(mount.path(kManifest)), "x/");
    EXPECT_NE(inX.find(hex(sha256Of("edited in x")) + "  x/1\n"), std::string::npos) << inX;
    EXPECT_NE(inX.find(hex(sha256Of("new in x")) + "  x/new\n"), std::string::npos) << inX;
    EXPECT_EQ(inX.find("x/sub/3"), std::string::npos) << inX;
}

// Runs the tool, sends it signal after delay and returns its status (minus
// the signal that ended it) and standard output.
std::pair<int, std::string> signalledAfter(std::vector<std::string> args, int signal,
                                           std::chrono::microseconds delay)
{
    const int out = ::memfd_create("out", MFD_CLOEXEC);
    args.insert(args.begin(), QUELBY_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& word : args) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::alarm(60);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), drained(out)};
}

std::vector<std::string> leftoversIn(const std::string& folder)
{
    std::vector<std::string> names;
    const auto listing = test::runIn(folder, {"ls", "-A"});
    for (const std::string& name : linesOf(listing.output)) {
        if (name.starts_with(".quelby.sha256.new-")) {
            names.push_back(name);
        }
    }
    return names;
}

TEST(Manifest, AKillAStopOrAFailedSyncLeavesTheOldManifestOrACompleteNewOne)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    constexpr int kFiles = 6000;
    auto nameOf = [](int i) { return "d" + std::to_string(i % 20) + "/file " + std::to_string(i); };
    auto writeAll = [&](const std::string& version) {
        for (int i = 0; i < kFiles; ++i) {
            mount.file(nameOf(i), version + nameOf(i));
        }
    };
    auto allMatch = [&](const std::string& manifest, const std::string& version) {
        const auto entries = entriesOf(manifest);
        if (entries.size() != kFiles) {
            return false;
        }
        for (const auto& [path, digest] : entries) {
            if (digest != hex(sha256Of(version + path))) {
                return false;
            }
        }
        return true;
    };

    // A stop writes what it finished, and only that.
    writeAll("v0 ");
    const auto timing = std::chrono::steady_clock::now();
    ASSERT_EQ(std::get<0>(runTool({"tag", f})), 0);
    const auto wholeTag = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - timing);
    ASSERT_EQ(::unlink(mount.path(kManifest).c_str()), 0);
    const auto [stopStatus, stopOut] = signalledAfter({"tag", "-v", f}, SIGTERM, wholeTag / 3);
    EXPECT_EQ(stopStatus, 143);
    EXPECT_NE(stopOut.find("Stopped after "), std::string::npos) << stopOut;
    std::vector<std::string> reported;
    for (const std::string& line : linesOf(stopOut)) {
        if (line.starts_with("Digest ")) {
            reported.push_back(line.substr(line.find(" for ") + 5 + f.size() + 1));
        }
    }
    std::vector<std::string> stored;
    for (const auto& entry : entriesOf(readWholeFile(mount.path(kManifest)))) {
        stored.push_back(entry.first);
    }
    EXPECT_EQ(stored, reported);
    EXPECT_LT(stored.size(), static_cast<std::size_t>(kFiles)) << "the stop came after the walk";
    EXPECT_EQ(sha256sumCheck(f).status, 0);

    ASSERT_EQ(std::get<0>(runTool({"tag", f})), 0);
    writeAll("v1 ");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(std::get<0>(runTool({"retag", f})), 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    ASSERT_TRUE(allMatch(readWholeFile(mount.path(kManifest)), "v1 "));

    // Kills spread over a whole Retag, the write at its end included.
    bool sawOld = false;
    for (int round = 2; round < 9; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string old = readWholeFile(mount.path(kManifest));
        const std::string version = "v" + std::to_string(round) + " ";
        writeAll(version);
        signalledAfter({"retag", f}, SIGKILL, whole * (round - 1) / 6);
        const std::string now = readWholeFile(mount.path(kManifest));
        const bool isOld = now == old;
        sawOld = sawOld || isOld;
        EXPECT_TRUE(isOld || allMatch(now, version)) << "a mix of old and new";
        EXPECT_EQ(test::runIn(f, {"sha256sum", "-c", "--strict", "--quiet", kManifest}).status,
                  isOld ? 1 : 0);
    }
    EXPECT_TRUE(sawOld) << "no kill came before the rename";

    // A temporary left by a kill is passed over, never checked as a file.
    writeWholeFile(mount.path(".quelby.sha256.new-0123456789abcdef"), "left by a kill\n");
    writeWholeFile(mount.path("d1/.quelby.sha256.new-fedcba9876543210"), "and below\n");
    ASSERT_FALSE(leftoversIn(f).empty());
    ASSERT_EQ(std::get<0>(runTool({"retag", f})), 0);
    const auto [status, out, err] = runTool({"check", "-v", f});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(out.find(".quelby.sha256.new-"), std::string::npos);
    EXPECT_NE(out.find("Checked a total of " + std::to_string(kFiles) + " files"),
              std::string::npos);

    // A new manifest the disk would not make durable is never put in the old one's place.
    const std::string old = readWholeFile(mount.path(kManifest));
    writeAll("v9 ");
    test::ScriptedSystemCalls calls;
    calls.onChange = [](std::string_view call) { return call == "fsync" ? EIO : 0; };
    const auto [failedStatus, failedOut, failedErr] = runInProcess({"retag", f});
    EXPECT_EQ(failedStatus, 1) << failedOut;
    EXPECT_EQ(failedErr, keptIn(f) + "quelby-cli: Couldn't write " + mount.path(kManifest) +
                             ": Input/output error\n");
    EXPECT_TRUE(readWholeFile(mount.path(kManifest)) == old) << "the new manifest took its place";
    EXPECT_TRUE(leftoversIn(f).empty());
}

TEST(Manifest, ASecondWriterIsRefusedWhileAReaderGoesOn)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    mount.file("a", "a");
    mount.file("sub/b", "b");
    // A reader's lock on the folder is its own business: a writer goes on.
    const int folder = ::open(f.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    ASSERT_EQ(std::get<0>(runTool({"tag", f})), 0);
    ::close(folder);
    const std::string manifest = readWholeFile(mount.path(kManifest));
    const std::string lockPath = mount.path(".quelby.lock");
    struct stat lockInfo{};
    ASSERT_EQ(::lstat(lockPath.c_str(), &lockInfo), 0);
    EXPECT_EQ(lockInfo.st_mode & 07777, 0600u);
    mount.file("sub/c", "c");

    const int lock = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"tag", f}, {"retag", f}, {"tag", mount.path("sub")}}) {
        SCOPED_TRACE(args.back());
        EXPECT_EQ(runTool(args), (Outcome{2, "",
                                          "quelby-cli: the manifest of " + f +
                                              " is being written by another process (it holds " +
                                              lockPath + ")\n"}));
        EXPECT_EQ(readWholeFile(mount.path(kManifest)), manifest);
        EXPECT_TRUE(leftoversIn(f).empty());
    }
    const auto [status, out, err] = runTool({"check", f});
    EXPECT_EQ(status, 3) << out << err; // sub/c has no digest yet; the lock is no file to judge
    EXPECT_NE(out.find("Checked a total of 3 files"), std::string::npos) << out;
    ::close(lock);
    // A new manifest another user left is theirs to remove, not litter of ours.
    const std::string theirs = mount.file(".quelby.sha256.new-theirs", "theirs");
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    EXPECT_EQ(std::get<0>(runTool({"tag", f})), 0);
    EXPECT_NE(readWholeFile(mount.path(kManifest)).find("  sub/c\n"), std::string::npos);
    EXPECT_EQ(readWholeFile(theirs), "theirs");
    ASSERT_EQ(::unlink(theirs.c_str()), 0);

    // A lock file that is a link, or another user's, is nobody's to take: nothing is written.
    const std::string elsewhere = mount.file("elsewhere", "untouched");
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), lockPath.c_str()), 0);
    EXPECT_EQ(runTool({"retag", f}),
              (Outcome{1, "",
                       "quelby-cli: Couldn't lock " + f + "/" + kManifest + ": " + lockPath +
                           " is a symbolic link\n"}));
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    writeWholeFile(lockPath, "");
    ASSERT_EQ(::chown(lockPath.c_str(), 65534, 65534), 0);
    EXPECT_EQ(std::get<0>(runTool({"retag", f})), 1);
    EXPECT_EQ(readWholeFile(elsewhere), "untouched");
    EXPECT_EQ(readWholeFile(lockPath), "");
    EXPECT_EQ(readWholeFile(mount.path(kManifest)).find("  elsewhere\n"), std::string::npos);

    // In a user's folder, a lock that is a second name of root's file stays root's.
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    ASSERT_EQ(::link(elsewhere.c_str(), lockPath.c_str()), 0);
    ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
    EXPECT_EQ(std::get<0>(runTool({"retag", f})), 0);
    struct stat elsewhereInfo{};
    ASSERT_EQ(::stat(elsewhere.c_str(), &elsewhereInfo), 0);
    EXPECT_EQ(elsewhereInfo.st_uid, 0u);
}

TEST(Manifest, ACorruptManifestFailsTheRunAndIsNeverOverwritten)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    mount.file("a", "a");
    const std::string manifest = mount.path(kManifest);
    const std::string good = "# Quelby manifest 1\n" + hex(sha256Of("a")) + "  a\n";
    const std::string elsewhere = mount.file("elsewhere/target", good);
    auto state = [&] {
        struct stat info{};
        ::lstat(manifest.c_str(), &info);
        std::string bytes;
        if (S_ISREG(info.st_mode)) {
            bytes = readWholeFile(manifest);
        }
        return std::to_string(info.st_mode) + " " + std::to_string(info.st_ino) + " " + bytes +
               readWholeFile(elsewhere);
    };
    const struct
    {
        const char* what;
        std::function<void()> make;
        std::string reason;
    } cases[] = {
        {"a FIFO", [&] { ::mkfifo(manifest.c_str(), 0644); }, "it is not a regular file"},
        {"a link", [&] { ASSERT_EQ(::symlink(elsewhere.c_str(), manifest.c_str()), 0); },
         "it is a symbolic link"},
        {"a folder", [&] { ::mkdir(manifest.c_str(), 0755); }, "it is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        const std::string before = state();
        for (const char* command : {"check", "tag", "retag"}) {
            SCOPED_TRACE(command);
            const auto [status, out, err] = runTool({command, f});
            EXPECT_EQ(status, 1);
            EXPECT_EQ(err, "quelby-cli: Couldn't read " + manifest + ": " + c.reason + "\n");
            EXPECT_EQ(state(), before);
        }
        ::remove(manifest.c_str());
    }

    // Bytes that cannot be read at all: a manifest its user may not read.
    writeWholeFile(manifest, good);
    ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(mount.path("a").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(manifest.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(mount.path(".quelby.lock").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(manifest.c_str(), 0), 0);
    const std::string before = state();
    for (const char* command : {"check", "tag"}) {
        SCOPED_TRACE(command);
        const auto result = test::runUnprivileged([&] {
            const auto [status, out, err] = runTool({command, f});
            const std::string expected =
                "quelby-cli: Couldn't read " + manifest + ": Permission denied\n";
            return status == 1 && err == expected ? 0 : 10 + status;
        });
        if (!result) {
            GTEST_SKIP() << "cannot drop privileges here";
        }
        EXPECT_EQ(*result, 0) << "status 1 and the reason on stderr, as 65534";
        EXPECT_EQ(state(), before);
    }
}

TEST(Manifest, MalformedLinesAreKeptOnRewriteAndAMalformedDigestNeverMatches)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    for (const char* name : {"a", "bad hex", "short", "upper"}) {
        mount.file(name, name);
    }
    std::string upper = hex(sha256Of("upper"));
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::vector<std::string> kept = {
        "# Quelby manifest 1",
        "# a note a person wrote",
        "garbage without two spaces",
        "",
        "\\" + std::string(64, 'a') + "  escape \\x unknown",
        "#time not-a-date  a",
    };
    std::string manifest;
    for (const auto& line : kept) {
        manifest += line + "\n";
    }
    manifest += hex(sha256Of("a")) + "  a\n";
    const std::string badHex = "zz" + hex(sha256Of("bad hex")).substr(2) + "  bad hex\n";
    const std::string shortDigest = hex(sha256Of("short")).substr(0, 40) + "  short\n";
    manifest += badHex + shortDigest + upper + "  upper\r\n";
    writeWholeFile(mount.path(kManifest), manifest);

    const auto [status, out, err] = runTool({"check", f});
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(out.find("❌ Digests for " + f + "/bad hex aren't equal.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("❌ Digests for " + f + "/short aren't equal.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\t2 matched digest correctly\n"), std::string::npos) << out;

    // A Tag that does not visit the malformed ones keeps them, and lists "a" once.
    mount.file("new", "new");
    const auto [tagStatus, tagOut, tagErr] =
        runTool({"tag", "--exclude", "bad hex", "--exclude", "short", f});
    EXPECT_EQ(tagStatus, 0) << tagOut << tagErr;
    const std::string rewritten = readWholeFile(mount.path(kManifest));
    for (const auto& line : kept) {
        EXPECT_NE(rewritten.find(line + "\n"), std::string::npos) << line;
    }
    EXPECT_NE(rewritten.find(badHex), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find(shortDigest), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find(hex(sha256Of("new")) + "  new\n"), std::string::npos) << rewritten;
    const std::string digestOfA = hex(sha256Of("a")) + "  a\n";
    EXPECT_NE(rewritten.find(digestOfA), std::string::npos) << rewritten;
    EXPECT_EQ(rewritten.find(digestOfA), rewritten.rfind(digestOfA)) << rewritten;

    // Retag writes the malformed ones afresh; the lines that name no file stay.
    EXPECT_EQ(std::get<0>(runTool({"retag", f})), 0);
    const std::string retagged = readWholeFile(mount.path(kManifest));
    EXPECT_NE(retagged.find(hex(sha256Of("bad hex")) + "  bad hex\n"), std::string::npos);
    EXPECT_NE(retagged.find("garbage without two spaces\n"), std::string::npos) << retagged;
    EXPECT_EQ(std::get<0>(runTool({"check", f})), 0);
}

TEST(Manifest, TheStoreIsChosenAsAskedAndAForeignManifestAboveIsPassedOver)
{
    test::TempTree disk; // the work disk, which keeps attributes
    const std::string top = disk.folder("top");
    disk.file("top/sub/a", "a");
    disk.file("top/sub/b", "b");
    const std::string sub = disk.path("top/sub");
    if (::setxattr(disk.path("top/sub/a").c_str(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << "the temporary folder keeps no user attributes: " << std::strerror(errno);
    }
    ::removexattr(disk.path("top/sub/a").c_str(), "user.probe");

    // --store manifest on ext4 makes one and touches no attribute.
    EXPECT_EQ(runTool({"tag", "--store", "manifest", top}),
              (Outcome{0, "Tagged a total of 2 files in " + top + " with 0 errors.\n",
                       keptIn(top)}));
    const std::string manifest = readWholeFile(disk.path("top/.quelby.sha256"));
    EXPECT_EQ(entriesOf(manifest).size(), 2u) << manifest;
    EXPECT_FALSE(test::storedAttribute(disk.path("top/sub/a"), kDigestAttributeName));
    EXPECT_EQ(test::runIn(top, {"getfattr", "-d", "sub/a"}).output, "");

    // auto finds it from below.
    const auto [autoStatus, autoOut, autoErr] = runTool({"check", sub});
    EXPECT_EQ(autoStatus, 0) << autoOut << autoErr;
    EXPECT_EQ(autoErr, keptIn(top));

    // --store attributes neither reads nor writes it.
    test::writeWholeFile(disk.path("top/sub/b"), "changed");
    const auto [attrStatus, attrOut, attrErr] = runTool({"tag", "--store", "attributes", sub});
    EXPECT_EQ(attrStatus, 0) << attrErr;
    EXPECT_EQ(attrErr, "");
    EXPECT_EQ(readWholeFile(disk.path("top/.quelby.sha256")), manifest);
    EXPECT_EQ(runTool({"check", "--store", "attributes", sub}),
              (Outcome{0,
                       "Checked a total of 2 files in " + sub +
                           "\t2 matched digest correctly\n\t0 didn't match their digest\n"
                           "\t0 had no digest.\n",
                       ""}));
    EXPECT_FALSE(exists(disk.path("top/sub/.quelby.sha256")));

    // Another user's manifest above is passed over with one line; attributes are used.
    ASSERT_EQ(::chown(disk.path("top/.quelby.sha256").c_str(), 65534, 65534), 0);
    const auto [foreignStatus, foreignOut, foreignErr] = runTool({"check", sub});
    EXPECT_EQ(foreignStatus, 0) << foreignOut;
    EXPECT_EQ(foreignErr,
              "quelby-cli: Passed over " + top + "/.quelby.sha256: it belongs to another user\n");

    // Where attributes cannot be kept, its files have no digest, whether it lies
    // above the folder or in it, and no Tag goes on as if it were not there.
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    mount.file("sub/a", "a");
    const std::string foreign = "# Quelby manifest 1\n" + hex(sha256Of("a")) + "  sub/a\n";
    writeWholeFile(mount.path(kManifest), foreign);
    ASSERT_EQ(::chown(mount.path(kManifest).c_str(), 65534, 65534), 0);
    const std::string passedOver =
        "quelby-cli: Passed over " + mount.path(kManifest) + ": it belongs to another user\n";
    for (const std::string& folder : {mount.path("sub"), mount.root()}) {
        SCOPED_TRACE(folder);
        const auto [checkStatus, checkOut, checkErr] = runTool({"check", folder});
        EXPECT_EQ(checkStatus, 3) << checkErr;
        EXPECT_EQ(checkOut, "Checked a total of 1 files in " + folder +
                                "\t0 matched digest correctly\n\t0 didn't match their digest\n"
                                "\t1 had no digest.\n");
        EXPECT_EQ(checkErr, passedOver) << "once, and no manifest said to keep digests";
        for (const char* command : {"tag", "retag"}) {
            EXPECT_EQ(runTool({command, folder}),
                      (Outcome{2, "",
                               "quelby-cli: " + mount.path(kManifest) +
                                   " belongs to another user; Quelby will not replace it\n"}));
        }
        EXPECT_EQ(readWholeFile(mount.path(kManifest)), foreign);
        EXPECT_FALSE(exists(mount.path("sub/.quelby.sha256")));
        EXPECT_FALSE(exists(mount.path(".quelby.lock")));
    }
}

TEST(Manifest, AManifestInAnotherOrderIsReadAndRewrittenInWalkOrder)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    std::vector<std::string> names = {"a",   "a/b",   "a-c",  "a b",        "B",   "z/y/x",
                                      "a/b/c", "\xff", "back\\slash", "é", "a.d/1"};
    std::vector<std::string> files;
    for (const auto& name : names) {
        // "a" and "a/b" are folders once something lies below them.
        const bool folder = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return n.starts_with(name + "/");
        });
        if (!folder) {
            mount.file(name, name);
            files.push_back(name);
        }
    }
    std::vector<std::string> sorted = files;
    std::sort(sorted.begin(), sorted.end(), walkOrderLess);
    std::vector<std::string> reversed(sorted.rbegin(), sorted.rend());

    // Written by sha256sum itself in reverse order, and a hand edit that swapped two lines.
    std::vector<std::string> args = {"sha256sum"};
    args.insert(args.end(), reversed.begin(), reversed.end());
    const auto written = test::runIn(f, args);
    ASSERT_EQ(written.status, 0) << written.output;
    const struct
    {
        const char* what;
        std::string manifest;
    } cases[] = {
        {"by sha256sum", written.output},
        {"by hand", [&] {
             auto lines = linesOf(written.output);
             std::swap(lines.front(), lines.back());
             std::string text = "# Quelby manifest 1\n";
             for (const auto& line : lines) {
                 text += line + "\n";
             }
             return text;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeWholeFile(mount.path(kManifest), c.manifest);
        const auto [status, out, err] = runTool({"check", f});
        EXPECT_EQ(status, 0) << out << err;
        EXPECT_NE(out.find("\t" + std::to_string(files.size()) + " matched digest correctly"),
                  std::string::npos)
            << out;
        for (const char* command : {"retag", "tag"}) {
            writeWholeFile(mount.path(kManifest), c.manifest);
            EXPECT_EQ(std::get<0>(runTool({command, f})), 0) << command;
            std::vector<std::string> order;
            for (const auto& [path, digest] : entriesOf(readWholeFile(mount.path(kManifest)))) {
                order.push_back(path);
                EXPECT_EQ(digest, hex(sha256Of(path))) << path;
            }
            EXPECT_EQ(order, sorted) << command;
            EXPECT_EQ(sha256sumCheck(f).status, 0) << command;
        }
    }
}

// Keeps the mode of every file made in one folder.
class TemporaryFileWatch : public test::ScriptedSystemCalls
{
public:
    explicit TemporaryFileWatch(std::string folder) : folder_(std::move(folder)) {}
    std::vector<mode_t> modes;

    int createAt(int dirFd, const char* name, int flags, mode_t mode) override
    {
        const int fd = ScriptedSystemCalls::createAt(dirFd, name, flags, mode);
        struct stat info{};
        if (fd >= 0 && folder_ == openedPath(dirFd) && ::fstat(fd, &info) == 0) {
            modes.push_back(info.st_mode);
        }
        return fd;
    }

private:
    std::string folder_;
};

// A manifest out of walk order and too long for one run in memory is sorted
// through several temporary files, private to the user and gone afterwards,
// and judged exactly as the same manifest in walk order.
TEST(Manifest, AManifestOutOfOrderIsSortedThroughTemporaryFilesWithTheSameReport)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string stateHome = tree.folder("state");
    for (int i = 0; i < 400; ++i) {
        tree.file("f/" + std::to_string(i % 7) + "/" + std::to_string(i), std::to_string(i));
    }
    ASSERT_EQ(std::get<0>(runInProcess({"tag", "--times", "--store", "manifest", f})), 0);
    const std::string inWalkOrder = readWholeFile(f + "/" + kManifest);
    // Its lines last first (each stamp line before its digest line), a note between two files.
    const auto lines = linesOf(inWalkOrder);
    std::string reversed = lines.front() + "\n";
    for (auto line = lines.rbegin(); line + 1 != lines.rend(); ++line) {
        reversed += *line + "\n";
        if (line - lines.rbegin() == 301) {
            ASSERT_FALSE(line->starts_with("#")) << "the note would part a digest from its stamp";
            reversed += "# a note of the user's\n";
        }
    }
    ASSERT_EQ(::unlink((f + "/3/10").c_str()), 0);
    ASSERT_EQ(::unlink((f + "/6/398").c_str()), 0);
    writeWholeFile(f + "/5/12", "changed");
    const auto checkWith = [&](const std::string& manifest) {
        writeWholeFile(f + "/" + kManifest, manifest);
        return runInProcess({"check", "-v", "--store", "manifest", f});
    };
    const Outcome expected = checkWith(inWalkOrder);
    EXPECT_EQ(std::get<0>(expected), 1);
    EXPECT_NE(std::get<1>(expected).find("❌ Missing " + f + "/6/398\n"), std::string::npos);

    const char* usualStateHome = std::getenv("XDG_STATE_HOME");
    const std::optional<std::string> keptStateHome =
        usualStateHome != nullptr ? std::optional<std::string>(usualStateHome) : std::nullopt;
    ::setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
    const std::size_t usualRunBytes = manifestSortRunBytes;
    manifestSortRunBytes = 1024;
    std::vector<mode_t> modes;
    Outcome sorted;
    {
        TemporaryFileWatch watch(stateHome + "/quelby");
        sorted = checkWith(reversed);
        modes = watch.modes;
    }
    manifestSortRunBytes = usualRunBytes;
    if (keptStateHome) {
        ::setenv("XDG_STATE_HOME", keptStateHome->c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
    EXPECT_EQ(sorted, expected);
    EXPECT_GT(modes.size(), 8U) << "the sort was to take several runs and merge them twice over";
    for (const mode_t mode : modes) {
        EXPECT_TRUE(S_ISREG(mode));
        EXPECT_EQ(mode & 07777, 0600U);
    }
    EXPECT_EQ(test::namesIn(stateHome + "/quelby"), std::vector<std::string>{});
    EXPECT_EQ(readWholeFile(f + "/" + kManifest), reversed) << "a Check writes nothing";
}

TEST(Manifest, ARewrittenManifestKeepsItsOwnerGroupAndMode)
{
    test::TempTree disk;
    AttributelessMount mount(FileSystem::ramfs);
    const struct
    {
        const char* where;
        std::string folder;
        std::vector<std::string> store;
    } cases[] = {{"ext4", disk.folder("f"), {"--store", "manifest"}},
                 {"ramfs", mount.unavailable().empty() ? mount.root() : "", {}}};
    for (const auto& c : cases) {
        if (c.folder.empty()) {
            continue;
        }
        SCOPED_TRACE(c.where);
        writeWholeFile(c.folder + "/a", "a");
        std::vector<std::string> tag = {"tag"};
        tag.insert(tag.end(), c.store.begin(), c.store.end());
        tag.push_back(c.folder);
        ASSERT_EQ(std::get<0>(runTool(tag)), 0);
        const std::string manifest = c.folder + "/" + kManifest;
        ASSERT_EQ(::chown(manifest.c_str(), 0, 4321), 0);
        ASSERT_EQ(::chmod(manifest.c_str(), 0640), 0);
        writeWholeFile(c.folder + "/b", "b");
        ASSERT_EQ(std::get<0>(runTool(tag)), 0);
        struct stat info{};
        ASSERT_EQ(::stat(manifest.c_str(), &info), 0);
        EXPECT_EQ(entriesOf(readWholeFile(manifest)).size(), 2u);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_gid, 4321u);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        // A user's manifest keeps its user when root rewrites it in the user's folder.
        ASSERT_EQ(::chown(c.folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(manifest.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(manifest.c_str(), 0604), 0);
        writeWholeFile(c.folder + "/c", "c");
        ASSERT_EQ(std::get<0>(runTool(tag)), 0);
        ASSERT_EQ(::stat(manifest.c_str(), &info), 0);
        EXPECT_EQ(entriesOf(readWholeFile(manifest)).size(), 3u);
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65534u);
        EXPECT_EQ(info.st_mode & 07777, 0604u);
    }
}


TEST(Manifest, AFolderWithAManifestOfItsOwnIsJudgedByItAlone)
{
    AttributelessMount mount(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    const std::string f = mount.root();
    mount.file("top.txt", "top");
    mount.file("card/a.jpg", "a");
    mount.file("card/b.jpg", "b");
    mount.file("card2/d.jpg", "d"); // a sibling whose name only starts like the inner folder's
    ASSERT_EQ(std::get<0>(runTool({"tag", f + "/card"})), 0);
    ASSERT_EQ(std::get<0>(runTool({"tag", f})), 0);
    const std::string outer = readWholeFile(mount.path(kManifest));
    EXPECT_EQ(outer.find("card/"), std::string::npos) << "no entries for the inner folder:\n"
                                                      << outer;
    EXPECT_NE(outer.find(hex(sha256Of("d")) + "  card2/d.jpg\n"), std::string::npos) << outer;
    EXPECT_EQ(readWholeFile(mount.path("card/.quelby.sha256")).find("d.jpg"), std::string::npos);

    // The inner manifest judges its files: a change, a file gone, a new one.
    mount.file("card/a.jpg", "changed");
    ASSERT_EQ(::unlink(mount.path("card/b.jpg").c_str()), 0);
    mount.file("card/c.jpg", "c");
    const auto [status, out, err] = runTool({"check", f});
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(out.find("❌ Digests for " + f + "/card/a.jpg aren't equal.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("❌ Missing " + f + "/card/b.jpg\n"), std::string::npos) << out;
    EXPECT_NE(out.find("1 had no digest."), std::string::npos) << out;

    const auto [retagStatus, retagOut, retagErr] = runTool({"retag", f});
    EXPECT_EQ(retagStatus, 0) << retagErr;
    const std::string inner = readWholeFile(mount.path("card/.quelby.sha256"));
    EXPECT_NE(inner.find(hex(sha256Of("changed")) + "  a.jpg\n"), std::string::npos) << inner;
    EXPECT_NE(inner.find(hex(sha256Of("c")) + "  c.jpg\n"), std::string::npos) << inner;
    EXPECT_EQ(inner.find("b.jpg"), std::string::npos) << inner;
    EXPECT_EQ(readWholeFile(mount.path(kManifest)), outer) << "the outer manifest is untouched";

    ASSERT_EQ(::unlink(mount.path("card2/d.jpg").c_str()), 0);
    const auto [goneStatus, goneOut, goneErr] = runTool({"check", f});
    EXPECT_EQ(goneStatus, 1) << goneErr;
    EXPECT_NE(goneOut.find("❌ Missing " + f + "/card2/d.jpg\n"), std::string::npos) << goneOut;
}

// exFAT through FUSE has no RENAME_EXCHANGE (and no O_TMPFILE): repair puts the bytes back
// by two renames, from a copy and from the folder's parity set, keeps the damaged ones
// marked, and leaves nothing else behind; on ramfs the names are exchanged.
TEST(Manifest, RepairOnFileSystemsWithoutAttributesPutsBackFromACopyAndFromParity)
{
    for (const FileSystem kind : {FileSystem::exfat, FileSystem::ramfs}) {
        AttributelessMount mount(kind);
        if (!mount.unavailable().empty()) {
            std::cout << "[ SKIPPED  ] " << nameOf(kind) << ": " << mount.unavailable() << "\n";
            continue;
        }
        const std::string f = mount.root();
        test::TempTree copies;
        const std::string bytes(100000, 'q');
        mount.file("photo.raw", bytes);
        copies.file("photo.raw", bytes);
        const timespec old[2] = {{1577836800, 0}, {1577836800, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, mount.path("photo.raw").c_str(), old, 0), 0);
        ASSERT_EQ(std::get<0>(runTool({"tag", "--times", "--parity", "20", f})), 0);
        const auto damage = [&](const std::string& to) {
            mount.file("photo.raw", to);
            ASSERT_EQ(::utimensat(AT_FDCWD, mount.path("photo.raw").c_str(), old, 0), 0);
        };
        std::string damaged = bytes;
        damaged[10] = 'Z';
        damage(damaged);

        const auto [status, out, err] = runTool({"repair", "--from", copies.path(""), f});
        EXPECT_EQ(status, 0) << nameOf(kind) << out << err;
        EXPECT_NE(out.find("✅ Repaired " + f + "/photo.raw from parity"), std::string::npos)
            << out;
        EXPECT_TRUE(readWholeFile(mount.path("photo.raw")) == bytes) << nameOf(kind);
        EXPECT_TRUE(readWholeFile(mount.path("photo.raw.damaged")) == damaged);
        EXPECT_NE(readWholeFile(mount.path(kManifest)).find("#damaged "), std::string::npos);

        // Beyond what the set can rebuild, the copy is next.
        damage(std::string(100000, 'x'));
        const auto [again, againOut, againErr] =
            runTool({"repair", "--from", copies.path(""), f});
        EXPECT_EQ(again, 0) << nameOf(kind) << againOut << againErr;
        EXPECT_NE(againOut.find("✅ Repaired " + f + "/photo.raw from " + copies.path("")),
                  std::string::npos)
            << againOut;
        EXPECT_TRUE(readWholeFile(mount.path("photo.raw")) == bytes);
        EXPECT_EQ(test::runCommand("ls -A " + f +
                                   " | grep -v -x -e photo.raw -e photo.raw.damaged"
                                   " -e photo.raw.damaged.2 -e .quelby.sha256 -e .quelby.lock"
                                   " -e .quelby.par2"),
                  1)
            << "nothing else is left in the folder";
        EXPECT_EQ(std::get<0>(runTool({"check", f})), 0) << nameOf(kind);
    }
}

// With digests in manifests on both sides: the copy's manifest points at a renamed
// copy (so only it is read), and the kept damaged bytes are marked in FOLDER's manifest,
// beside the entry of a file gone meanwhile, which the repair did not act on.
TEST(Manifest, RepairFindsACopyByItsManifestAndMarksTheKeptDamageInFoldersManifest)
{
    AttributelessMount mount(FileSystem::ramfs);
    AttributelessMount backup(FileSystem::ramfs);
    SKIP_UNLESS_MOUNTED(mount);
    SKIP_UNLESS_MOUNTED(backup);
    const std::string f = mount.root();
    const std::string bytes(100000, 'q');
    mount.file("photo.raw", bytes);
    mount.file("gone.raw", "deleted by mistake");
    backup.file("a decoy of the same size", std::string(100000, 'd'));
    backup.file("renamed.raw", bytes);
    ASSERT_EQ(std::get<0>(runTool({"tag", "--times", f})), 0);
    ASSERT_EQ(std::get<0>(runTool({"tag", backup.root()})), 0);
    const std::string goneLines = linesNaming(readWholeFile(mount.path(kManifest)), "gone.raw");
    ASSERT_FALSE(goneLines.empty());
    ASSERT_EQ(::unlink(mount.path("gone.raw").c_str()), 0);
    std::string damaged = bytes;
    damaged[10] = 'Z';
    mount.file("photo.raw", damaged);
    const timespec old[2] = {{1577836800, 0}, {1577836800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, mount.path("photo.raw").c_str(), old, 0), 0);

    const auto [status, out, err] =
        runTool({"repair", "--json", "--from", backup.root(), f});
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_NE(out.find("\"copy_files_hashed\":1"), std::string::npos) << out;
    EXPECT_EQ(readWholeFile(mount.path("photo.raw")), bytes);
    EXPECT_NE(readWholeFile(mount.path(kManifest)).find("#damaged "), std::string::npos);
    EXPECT_EQ(linesNaming(readWholeFile(mount.path(kManifest)), "gone.raw"), goneLines);

    const auto [checkStatus, checkOut, checkErr] = runTool({"check", f});
    EXPECT_EQ(checkStatus, 1) << checkOut << checkErr;
    EXPECT_NE(checkOut.find("❌ Missing " + f + "/gone.raw\n"), std::string::npos) << checkOut;
    EXPECT_NE(checkOut.find("⚠️ Damaged copy kept by repair: " + f + "/photo.raw.damaged\n"),
              std::string::npos)
        << checkOut;
}

// A file beside a folder with a manifest of its own is read slowly: the walk
// has left the folder long before that file's outcome, and the folder's own
// outcomes come after it. A scrub reads due files after its walk, with what
// the walk looked up.
TEST(Manifest, ANestedManifestLivesUntilItsLastOutcomeHoweverLateItComes)
{
    test::TempTree disk;
    const std::string top = disk.folder("top");
    const std::string sub = disk.path("top/sub");
    disk.file("top/a.bin", std::string(1 << 20, 'a'));
    disk.file("top/sub/f1", "f1");
    ASSERT_EQ(std::get<0>(runTool({"tag", "--store", "manifest", sub})), 0);
    disk.file("top/sub/f2", "f2");
    test::ScriptedSystemCalls calls;
    calls.onRead = [&calls](int fd, void* buffer, std::size_t size) -> ssize_t {
        if (openedPath(fd).ends_with("/a.bin")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return calls.realRead(fd, buffer, size);
    };
    const auto [tagStatus, tagOut, tagErr] = runInProcess({"tag", "--jobs", "2", top});
    ASSERT_EQ(tagStatus, 0) << tagOut << tagErr;
    EXPECT_EQ(entriesOf(readWholeFile(disk.path("top/sub/.quelby.sha256"))),
              (std::vector<std::pair<std::string, std::string>>{{"f1", hex(sha256Of("f1"))},
                                                               {"f2", hex(sha256Of("f2"))}}));
    for (const std::vector<std::string>& order :
         {std::vector<std::string>{"--jobs", "2"}, {"--order", "disk", "--jobs", "1"}}) {
        std::vector<std::string> args{"check"};
        args.insert(args.end(), order.begin(), order.end());
        args.push_back(top);
        const auto [status, out, err] = runInProcess(args);
        EXPECT_EQ(status, 0) << order.front() << "\n" << out << err;
    }

    // An entry after the folder in walk order, then a scrub that reads what changed.
    ASSERT_EQ(::mkfifo(disk.path("top/z").c_str(), 0644), 0);
    const std::string state = disk.path("state.sqlite");
    const auto scrubAfterATouch = [&] {
        const auto [first, firstOut, firstErr] = runInProcess({"scrub", "--state", state, top});
        EXPECT_NE(first, -1) << firstErr;
        const timespec later[2] = {{0, UTIME_OMIT}, {1, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, disk.path("top/sub/f1").c_str(), later, 0), 0);
        return runInProcess({"scrub", "-v", "--state", state, top});
    };
    const auto [status, out, err] = scrubAfterATouch();
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_NE(out.find("✅ Digests for " + sub + "/f1"), std::string::npos) << out;

    // A manifest that cannot be read: every read says why, in its own words.
    ASSERT_EQ(::unlink(disk.path("top/sub/.quelby.sha256").c_str()), 0);
    ASSERT_EQ(::mkfifo(disk.path("top/sub/.quelby.sha256").c_str(), 0644), 0);
    const auto [fifoStatus, fifoOut, fifoErr] = scrubAfterATouch();
    EXPECT_EQ(fifoStatus, 1) << fifoOut << fifoErr;
    EXPECT_NE(fifoOut.find("❌ Couldn't read " + sub + "/f1: Couldn't read " + sub +
                           "/.quelby.sha256: it is not a regular file\n"),
              std::string::npos)
        << fifoOut;
}

// Whoever owns a manifest decides what its files are judged against: one
// another user put in the folder, or below it, is no evidence and is never
// written. (Without attributes: TheStoreIsChosenAsAsked….)
TEST(Manifest, AManifestAnotherUserPlantedIsPassedOverAndNeverWritten)
{
    test::TempTree disk;
    const std::string top = disk.folder("top");
    disk.file("top/a", "a");
    disk.file("top/sub/b", "b");
    if (::setxattr(disk.path("top/a").c_str(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << "the temporary folder keeps no user attributes: " << std::strerror(errno);
    }
    ::removexattr(disk.path("top/a").c_str(), "user.probe");
    ASSERT_EQ(std::get<0>(runTool({"tag", top})), 0);
    disk.file("top/a", "damaged");
    disk.file("top/sub/b", "damaged too");
    // Forged manifests that vouch for the damaged bytes, in the folder and below it.
    const std::string planted = disk.path("top/.quelby.sha256");
    const std::string plantedBelow = disk.path("top/sub/.quelby.sha256");
    writeWholeFile(planted, "# Quelby manifest 1\n" + hex(sha256Of("damaged")) + "  a\n");
    writeWholeFile(plantedBelow, "# Quelby manifest 1\n" + hex(sha256Of("damaged too")) + "  b\n");
    for (const std::string& file : {planted, plantedBelow}) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    }
    const std::string plantedBytes = readWholeFile(planted) + readWholeFile(plantedBelow);
    const auto [status, out, err] = runTool({"check", top});
    EXPECT_EQ(status, 1) << out << err;
    EXPECT_NE(out.find("❌ Digests for " + top + "/a aren't equal.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("❌ Digests for " + top + "/sub/b aren't equal.\n"), std::string::npos)
        << out;
    EXPECT_EQ(err, "quelby-cli: Passed over " + planted +
                       ": it belongs to another user\nquelby-cli: Passed over " + plantedBelow +
                       ": it belongs to another user\n");
    EXPECT_EQ(std::get<0>(runTool({"retag", top})), 0);
    EXPECT_EQ(readWholeFile(planted) + readWholeFile(plantedBelow), plantedBytes);
    EXPECT_EQ(std::get<0>(runTool({"check", top})), 0) << "the attributes took the new digests";
}

// Another user's share holds a folder with a manifest of its own, which its
// owner keeps swapping for a link to a folder only root may enter, while
// root tags the share: nothing of the root-only folder is ever touched.
TEST(Manifest, AFolderSwappedForALinkWhileTaggedLeadsNoWriteOutOfTheShare)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to tag another user's share";
    }
    test::TempTree disk;
    const std::string share = disk.folder("share");
    disk.file("share/a", "a");
    disk.file("share/sub/b", "b");
    ASSERT_EQ(std::get<0>(runTool({"tag", "--store", "manifest", disk.path("share/sub")})), 0);
    disk.file("share/sub/data", "public");
    const std::string rootOnly = disk.folder("root-only");
    disk.file("root-only/secret", "secret");
    disk.file("root-only/data", "top secret");
    // A list that names the root-only file's bytes as the share's: read from one
    // folder and written to the other's manifest, it would leak them.
    const std::string list = disk.file("list", hex(sha256Of("top secret")) + "  data\n");
    ASSERT_EQ(::chmod(rootOnly.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(rootOnly.c_str(), disk.path("share/swap").c_str()), 0);
    ASSERT_EQ(test::runCommand("chown -hR 65534:65534 " + share), 0);
    const auto rootOnlyNow = [&] {
        return test::runIn(rootOnly, {"ls", "-la", "--time-style=full-iso"}).output +
               readWholeFile(disk.path("root-only/secret"));
    };
    const std::string before = rootOnlyNow();

    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(125);
        }
        const int folder = ::open(share.c_str(), O_RDONLY | O_DIRECTORY);
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
             std::chrono::steady_clock::now() < end;) {
            ::renameat2(folder, "sub", folder, "swap", RENAME_EXCHANGE);
        }
        ::_exit(0);
    }
    for (int run = 0; run < 200; ++run) {
        const auto [status, out, err] = runInProcess({"tag", share});
        ASSERT_NE(status, -1) << err;
        runInProcess({"import", "-q", list, share + "/sub"});
    }
    ::kill(swapper, SIGKILL);
    int status = 0;
    ::waitpid(swapper, &status, 0);
    EXPECT_EQ(rootOnlyNow(), before);
    for (const char* name : {"sub", "swap"}) {
        const std::string manifest = share + "/" + name + "/.quelby.sha256";
        if (exists(manifest)) {
            EXPECT_EQ(readWholeFile(manifest).find(hex(sha256Of("top secret"))),
                      std::string::npos);
        }
    }
}

} // namespace
} // namespace quelby::cli
