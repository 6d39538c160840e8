#include "cli/cli.h"
#include "engine/run_fixture.h"
#include "tool_runner.h"
#include "support/hex.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace quelby::cli {
namespace {

// Seconds since the epoch of the stamp every file below carries.
constexpr std::string_view kStamp = "2024-03-09T17_05_42Z";
constexpr time_t kStampSecond = 1710003942; // 2024-03-09T17:05:42Z

// A file tagged when it held "old", holding "new" now, its modification
// time set to stampSecond + offset.
std::string changedFile(test::TempTree& tree, const std::string& name, bool stamped,
                        time_t seconds, long nanoseconds)
{
    const std::string path = tree.file("f/" + name, "new");
    test::storeAttribute(path, kDigestAttributeName, digestOfBytes("old").view());
    if (stamped) {
        test::storeAttribute(path, kTimeAttributeName, kStamp);
    }
    EXPECT_TRUE(test::setModificationTime(path, kStampSecond + seconds, nanoseconds)) << path;
    return path;
}

TEST(Explain, TellsAnEditFromDamageByTheModificationTimeAndRetagKeepsTheEvidence)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const struct
    {
        std::string name;
        bool stamped;
        time_t seconds;
        long nanoseconds;
        std::string_view verdict;
    } files[] = {
        {"a-edited", true, 1, 0, "modified after it was tagged"},
        {"b-damaged", true, -1, 999999999, "not modified since it was tagged: possible damage"},
        {"c-same-second", true, 0, 0, "no time stamp to tell"},
        {"d-end-of-second", true, 0, 999999999, "no time stamp to tell"},
        {"e-no-stamp", false, -100, 0, "no time stamp to tell"},
    };
    std::string expected;
    std::string kept;
    for (const auto& file : files) {
        const auto path = changedFile(tree, file.name, file.stamped, file.seconds, file.nanoseconds);
        expected += "❌ Digests for " + path + " aren't equal: " + std::string(file.verdict) + ".\n";
        if (file.name != "a-edited") {
            kept += "❌ Kept the digest of " + path + ": " + std::string(file.verdict) + "\n";
        }
    }
    tree.file("f/matched", "same");
    test::storeAttribute(tree.path("f/matched"), kDigestAttributeName, digestOfBytes("same").view());
    expected += "Checked a total of 6 files in " + f +
                "\t1 matched digest correctly\n\t5 didn't match their digest\n\t0 had no digest.\n"
                "Of the files that differ: 1 edited, 1 possibly damaged, 3 unknown.\n";
    EXPECT_EQ(runFromRoot({"check", "--explain", f}), (Outcome{1, expected, ""}));

    EXPECT_EQ(runFromRoot({"retag", "--only-edited", f}),
              (Outcome{1,
                       "⚠️ Retagged " + tree.path("f/a-edited") + "\n" + kept +
                           "Retagged a total of 6 files in " + f +
                           "\t1 matched digest correctly\n\t1 were retagged\n"
                           "\t0 were tagged for the first time.\n",
                       ""}));
    for (const auto& file : files) {
        const auto path = tree.path("f/" + file.name);
        const std::string digest(
            digestOfBytes(file.name == "a-edited" ? "new" : "old").view());
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), digest) << file.name;
        if (file.name == "a-edited") {
            continue;
        }
        EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName),
                  file.stamped ? std::optional<std::string>(kStamp) : std::nullopt)
            << file.name;
    }
    // The accepted edit is dated afresh without --times, so damage after it reads as damage.
    const std::string edited = tree.path("f/a-edited");
    const auto newStamp = test::storedAttribute(edited, kTimeAttributeName);
    EXPECT_TRUE(newStamp && *newStamp != kStamp) << newStamp.value_or("no stamp");
    test::writeWholeFile(edited, "NEW");
    ASSERT_TRUE(test::setModificationTime(edited, kStampSecond + 1));
    EXPECT_NE(
        std::get<1>(runFromRoot({"check", "--explain", f}))
            .find(edited + " aren't equal: not modified since it was tagged: possible damage"),
        std::string::npos);
    // Without the option nothing changes; with it on another command, a usage error.
    EXPECT_EQ(std::get<1>(runFromRoot({"check", f})).find("aren't equal:"), std::string::npos);
    EXPECT_EQ(std::get<0>(runFromRoot({"tag", "--explain", f})), 2);
    EXPECT_EQ(std::get<0>(runFromRoot({"check", "--only-edited", f})), 2);
}

// What a run may have changed of a file: its stored values, and its change time,
// which any write of an attribute moves even when the value stays the same.
struct FileEvidence
{
    std::optional<std::string> digest;
    std::optional<std::string> stamp;
    std::int64_t changeNanoseconds = 0;
    bool operator==(const FileEvidence&) const = default;
};

FileEvidence evidenceOf(const std::string& path)
{
    struct stat info{};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return {test::storedAttribute(path, kDigestAttributeName),
            test::storedAttribute(path, kTimeAttributeName),
            info.st_ctim.tv_sec * 1000000000LL + info.st_ctim.tv_nsec};
}

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    for (const dirent* entry = listing ? ::readdir(listing) : nullptr; entry != nullptr;
         entry = ::readdir(listing)) {
        names.emplace_back(entry->d_name);
    }
    if (listing != nullptr) {
        ::closedir(listing);
    }
    std::ranges::sort(names);
    return names;
}

TEST(TagAgain, NewOnlyKeepsTheEvidenceAndTagAndRetagSayOnceWhenTheyReplacedIt)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string damaged = changedFile(tree, "damaged", true, -1, 0);
    const std::string fresh = tree.file("f/fresh", "fresh");
    const FileEvidence before = evidenceOf(damaged);

    EXPECT_EQ(runFromRoot({"tag", "--new-only", "--times", f}),
              (Outcome{0,
                       "Tagged a total of 1 files in " + f +
                           " with 0 errors.\n1 file already had a digest and was left as it "
                           "was.\n",
                       ""}));
    EXPECT_EQ(evidenceOf(damaged), before);
    EXPECT_EQ(test::storedAttribute(fresh, kDigestAttributeName),
              std::string(digestOfBytes("fresh").view()));

    const std::string advice =
        "; check first, or use --new-only or --only-edited to keep them as evidence\n";
    // Kept as evidence, or nothing that differed: not a word on standard error.
    EXPECT_EQ(std::get<2>(runFromRoot({"retag", "--only-edited", f})), "");
    EXPECT_EQ(evidenceOf(damaged), before);
    EXPECT_EQ(runFromRoot({"tag", f}),
              (Outcome{0, "Tagged a total of 2 files in " + f + " with 0 errors.\n",
                       "quelby-cli: 1 stored digest differs and was replaced" + advice}));
    EXPECT_EQ(runFromRoot({"tag", "--times", f}),
              (Outcome{0, "Tagged a total of 2 files in " + f + " with 0 errors.\n", ""}));
    test::writeWholeFile(damaged, "damaged again");
    test::writeWholeFile(fresh, "edited");
    ASSERT_TRUE(test::setModificationTime(damaged, 1577836800));
    ASSERT_TRUE(test::setModificationTime(fresh, ::time(nullptr) + 3600));
    // An edit that --only-edited accepts was no evidence.
    auto [status, out, err] = runFromRoot({"retag", "--only-edited", f});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "");
    EXPECT_NE(out.find("⚠️ Retagged " + fresh + "\n"), std::string::npos) << out;
    test::writeWholeFile(fresh, "edited again");
    EXPECT_EQ(runFromRoot({"retag", f}),
              (Outcome{0,
                       "⚠️ Retagged " + damaged + "\n⚠️ Retagged " + fresh +
                           "\nRetagged a total of 2 files in " + f +
                           "\t0 matched digest correctly\n\t2 were retagged\n"
                           "\t0 were tagged for the first time.\n",
                       "quelby-cli: 2 stored digests differ and were replaced" + advice}));
}

TEST(TagAgain, ADryRunSaysWhatTheRunWouldWriteAndWritesNothing)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string damaged = changedFile(tree, "damaged", true, -1, 0);
    const std::string fresh = tree.file("f/fresh", "fresh");
    const std::string same = tree.file("f/same", "same");
    test::storeAttribute(same, kDigestAttributeName, digestOfBytes("same").view());
    const std::string one = tree.folder("one");
    tree.file("one/only", "only");
    // Another writer holds the manifest's lock; a dry run never asks for it.
    const int lock = ::open(tree.path("f/.quelby.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const std::vector<std::string> listing = namesIn(f);
    std::map<std::string, FileEvidence> before;
    for (const std::string& path : {damaged, fresh, same}) {
        before[path] = evidenceOf(path);
    }
    const std::string keptLine =
        "❌ Kept the digest of " + damaged + ": not modified since it was tagged: possible damage\n";
    const std::string manifestNotice = "Digests are kept in " + f + "/.quelby.sha256\n";
    const struct
    {
        std::vector<std::string> args;
        Outcome expected;
    } cases[] = {
        {{"tag", "--dry-run", f}, {0, "Would tag 3 of 3 files in " + f + ".\n", ""}},
        {{"tag", "--dry-run", "-v", f},
         {0,
          "Would tag " + damaged + "\nWould tag " + fresh + "\nWould tag " + same +
              "\nWould tag 3 of 3 files in " + f + ".\n",
          ""}},
        {{"tag", "--dry-run", "--new-only", "-tv", f},
         {0, "Would tag " + fresh + "\nWould tag 1 of 3 files in " + f + ".\n", ""}},
        {{"retag", "--dry-run", f},
         {0,
          "Would retag " + damaged + "\nWould retag " + fresh + "\nWould retag 2 of 3 files in " +
              f + ".\n",
          ""}},
        {{"retag", "--dry-run", "-v", f},
         {0,
          "Would retag " + damaged + "\nWould retag " + fresh + "\n✅ Digests for " + same +
              "\nWould retag 2 of 3 files in " + f + ".\n",
          ""}},
        {{"retag", "--dry-run", "--only-edited", f},
         {1, keptLine + "Would retag " + fresh + "\nWould retag 1 of 3 files in " + f + ".\n",
          ""}},
        {{"tag", "--dry-run", "--store", "manifest", f},
         {0, "Would tag 3 of 3 files in " + f + ".\n", manifestNotice}},
        {{"retag", "--dry-run", one},
         {0, "Would retag " + one + "/only\nWould retag 1 of 1 file in " + one + ".\n", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runFromRoot(c.args), c.expected) << c.args[1] << " " << c.args[2];
    }
    for (const auto& [path, evidence] : before) {
        EXPECT_EQ(evidenceOf(path), evidence) << path;
    }
    EXPECT_EQ(test::storedAttribute(tree.path("one/only"), kDigestAttributeName), std::nullopt);
    EXPECT_EQ(namesIn(f), listing); // no manifest, no parity set
    // The run itself waits for no one.
    EXPECT_EQ(std::get<0>(runFromRoot({"tag", "--store", "manifest", f})), 2);
    ::close(lock);
}

std::vector<nlohmann::json> parsedLines(const std::string& text)
{
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line)); // throws, and fails the test, if not JSON
    }
    return objects;
}

// Every result, read back with a JSON parser; keys and values checked whole.
TEST(Json, WritesOneObjectPerFileWithEveryResultAndASummary)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string matched = tree.file("f/matched", "same");
    test::storeAttribute(matched, kDigestAttributeName, digestOfBytes("same").view());
    test::storeAttribute(matched, kTimeAttributeName, kStamp);
    ASSERT_TRUE(test::setModificationTime(matched, kStampSecond - 10, 123456789));
    const std::string damaged = changedFile(tree, "damaged", true, -5, 0);
    const std::string odd = tree.file("f/line\nfeed \xff", "no digest");
    const std::string unreadable = tree.file("f/unreadable", "io error");
    tree.file("f/skipped/x", "x");
    const std::string hexOf = test::hex(digestOfBytes("same").view());

    // Reads of that one file fail, whichever worker makes them; it is known
    // by its inode, as descriptor numbers are shared between threads and reused.
    struct stat unreadableInfo {};
    ASSERT_EQ(::stat(unreadable.c_str(), &unreadableInfo), 0);
    test::ScriptedSystemCalls calls;
    calls.onRead = [&](int fd, void* buffer, std::size_t size) -> ssize_t {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_ino == unreadableInfo.st_ino &&
            info.st_dev == unreadableInfo.st_dev) {
            errno = EIO;
            return -1;
        }
        return calls.SystemCalls::read(fd, buffer, size);
    };
    const auto [status, out, err] = runFromRoot({"check", "--json", "--exclude", "skipped/", f});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "");
    const auto objects = parsedLines(out);
    ASSERT_EQ(objects.size(), 5u) << out;
    using Json = nlohmann::json;
    const Json nullValue = nullptr;
    EXPECT_EQ(objects[0], (Json{{"type", "file"},
                                {"path", damaged},
                                {"result", "differs"},
                                {"stored", objects[0]["stored"]},
                                {"computed", objects[0]["computed"]},
                                {"stamp", kStamp},
                                {"mtime", "2024-03-09T17:05:37.000000000Z"},
                                {"verdict", "damaged"},
                                {"error", nullValue}}));
    EXPECT_NE(objects[0]["stored"], objects[0]["computed"]);
    EXPECT_EQ(objects[1]["path"], tree.path("f/line\nfeed \xef\xbf\xbd"));
    EXPECT_EQ(objects[1]["result"], "no-digest");
    EXPECT_EQ(objects[1]["stored"], nullValue);
    EXPECT_EQ(objects[2], (Json{{"type", "file"},
                                {"path", matched},
                                {"result", "matched"},
                                {"stored", hexOf},
                                {"computed", hexOf},
                                {"stamp", kStamp},
                                {"mtime", "2024-03-09T17:05:32.123456789Z"},
                                {"verdict", nullValue},
                                {"error", nullValue}}));
    EXPECT_EQ(objects[3]["result"], "read-failed");
    EXPECT_EQ(objects[3]["error"], std::strerror(EIO));
    EXPECT_EQ(objects[3]["computed"], nullValue);
    // One worker fills one outcome in for file after file: nothing of a file
    // may be left in it for the next.
    const auto [oneStatus, oneOut, oneErr] =
        runFromRoot({"check", "--json", "--jobs", "1", "--exclude", "skipped/", f});
    const auto oneWorker = parsedLines(oneOut);
    ASSERT_EQ(oneWorker.size(), objects.size()) << oneOut;
    for (std::size_t index = 0; index + 1 < objects.size(); ++index) {
        EXPECT_EQ(oneWorker[index], objects[index]) << index;
    }
    EXPECT_EQ(objects[4], (Json{{"type", "summary"},
                                {"version", 1},
                                {"operation", "check"},
                                {"folder", f},
                                {"total", 4},
                                {"matched", 1},
                                {"differs", 1},
                                {"no_digest", 1},
                                {"errors", 0},
                                {"retagged", 0},
                                {"first_tag", 0},
                                {"kept", 0},
                                {"already_tagged", 0},
                                {"replaced", 0},
                                {"read_failed", 1},
                                {"excluded", 1},
                                {"other_devices", 0},
                                {"missing", 0},
                                {"store", "attributes"},
                                {"manifest", nullptr},
                                {"buffer_bytes", 1048576},
                                {"stopped", false},
                                {"seconds", objects[4]["seconds"]}}));
    // The base64 form gives back the raw bytes of the name.
    unsigned char decoded[256] = {};
    const std::string encoded = objects[1]["path_base64"];
    const int length = EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    ASSERT_GE(length, static_cast<int>(odd.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded), odd.size()), odd);

    // Retag's results, each with the verdict it was judged by.
    calls.onRead = nullptr;
    const std::string edited = changedFile(tree, "edited", true, 5, 0);
    const auto retagged = parsedLines(
        std::get<1>(runFromRoot({"retag", "--only-edited", "--json", "--exclude", "/skipped", f})));
    std::map<std::string, std::pair<std::string, Json>> results;
    for (const auto& object : retagged) {
        if (object["type"] == "file") {
            results[object["path"]] = {object["result"], object["verdict"]};
        }
    }
    EXPECT_EQ(results[damaged], (std::pair<std::string, Json>{"kept", "damaged"}));
    EXPECT_EQ(results[edited], (std::pair<std::string, Json>{"retagged", "edited"}));
    EXPECT_EQ(results[matched], (std::pair<std::string, Json>{"matched", nullValue}));
    EXPECT_EQ(results[unreadable], (std::pair<std::string, Json>{"tagged", nullValue}));
    EXPECT_EQ(retagged.back()["kept"], 1);
    EXPECT_EQ(retagged.back()["excluded"], 1);
}

// Pruned folders are never even opened, so an unreadable one gives no error.
TEST(Exclusions, LeaveOutWhatPatternsNameAndNeverOpenAPrunedFolder)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    for (const char* name : {"keep.jpg", ".dot.tmp", "a.tmp", "sub/b.tmp", "sub/keep.txt",
                             "cache/c", "sub/cache/d", "photos/cache", "raw/x.cr2"}) {
        tree.file(std::string("f/") + name, name);
    }
    const std::string patterns = tree.file("patterns", "# comment\n\n   \ncache/\n/raw\n");
    test::ScriptedSystemCalls calls;
    std::vector<std::string> opened; // folders only
    calls.onOpenAt = [&](int folder, const char* name, int flags) {
        if ((flags & O_DIRECTORY) != 0) {
            opened.emplace_back(name);
        }
        return calls.SystemCalls::openAt(folder, name, flags);
    };
    const auto [status, out, err] =
        runFromRoot({"tag", "-v", "--exclude", "*.tmp", "--exclude-from", patterns, f});
    EXPECT_EQ(status, 0) << err;
    std::string tagged;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Digest ")) {
            tagged += line.substr(line.find(" for ") + 5) + " ";
        }
    }
    // "cache" the file stays: "cache/" names folders only.
    EXPECT_EQ(tagged, f + "/keep.jpg " + f + "/photos/cache " + f + "/sub/keep.txt ");
    for (const auto& name : opened) {
        EXPECT_TRUE(name != "cache" && name != "raw") << "a pruned folder was opened: " << name;
    }
    calls.onOpenAt = nullptr;
    const auto [missingStatus, missingOut, missingErr] =
        runFromRoot({"check", "--exclude-from", tree.path("none"), f});
    EXPECT_EQ(missingStatus, 2);
    EXPECT_EQ(missingErr, "quelby-cli: " + tree.path("none") + ": No such file or directory\n");
}

// A copy that lost its attributes must not pass silently; a file system that
// keeps none is named; another file system is not entered with -x.
TEST(CliProcess, ExitStatusesAScriptCanTrustAndTheFileSystemBoundary)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    tree.file("f/a", "a");
    const std::string mount = tree.folder("f/mnt");
    const test::RamfsMount ramfs(mount);
    if (!ramfs.unavailable().empty()) {
        GTEST_SKIP() << ramfs.unavailable();
    }
    tree.file("f/mnt/b", "b");
    tree.file("f/mnt/c", "c");

    EXPECT_EQ(std::get<0>(runTool({"tag", "-x", f})), 0);
    EXPECT_EQ(runTool({"check", "-x", f}),
              (Outcome{0,
                       "Checked a total of 1 files in " + f +
                           "\t1 matched digest correctly\n\t0 didn't match their digest\n"
                           "\t0 had no digest.\n",
                       "quelby-cli: " + mount + ": on another file system, not entered\n"}));
    EXPECT_EQ(runTool({"check", f}),
              (Outcome{3,
                       "Checked a total of 3 files in " + f +
                           "\t1 matched digest correctly\n\t0 didn't match their digest\n"
                           "\t2 had no digest.\n",
                       "quelby-cli: " + f +
                           ": 2 files have no digest because their file system does not keep "
                           "extended attributes\n"}));
    ASSERT_EQ(::unlink(tree.path("f/mnt/c").c_str()), 0);
    EXPECT_EQ(std::get<2>(runTool({"check", f})),
              "quelby-cli: " + f +
                  ": 1 file has no digest because its file system does not keep extended "
                  "attributes\n");
    test::writeWholeFile(tree.path("f/a"), "changed");
    EXPECT_EQ(std::get<0>(runTool({"check", f})), 1);
    EXPECT_EQ(std::get<0>(runTool({"check", "--json", f})), 1);
    EXPECT_EQ(std::get<0>(runTool({"check", "--explain", "--times", f})), 2);
}

} // namespace
} // namespace quelby::cli
