#include "repair_fixture.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quelby::cli {
namespace {

struct Expected
{
    std::string name;
    std::string report;   // its line in a verbose run, "{F}" and "{B}" for the folders
    std::string intact;   // the bytes it must hold after a repair; empty: untouched
    std::string keptName; // where the damaged file must be kept
};

// Damaged files found in a copy by each of the three ways, and the files
// repair must leave alone, in one tree; the copy is made as a backup would.
TEST(Repair, BringsBackEachDamagedFileFromAnIntactCopyAndLeavesTheRest)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string b = tree.folder("b");
    const std::string samePath = bytesOfSize(3000, 'a');
    const std::string byAttribute = bytesOfSize(4000, 'b');
    const std::string bySize = bytesOfSize(5000, 'c');
    const std::string badCopy = bytesOfSize(6000, 'd');
    const std::string unknown = bytesOfSize(7000, 'e');
    tagged(tree, "f/by-attribute.bin", byAttribute);
    tagged(tree, "f/deep/by-size.bin", bySize);
    tagged(tree, "f/damaged-copy.bin", badCopy);
    tagged(tree, "f/edited.bin", bytesOfSize(100, 'f'), kEdited);
    tagged(tree, "f/matched.bin", bytesOfSize(200, 'g'));
    tagged(tree, "f/same-path.bin", samePath);
    tagged(tree, "f/unknown.bin", unknown, kUnknown);
    const std::string notSha = tagged(tree, "f/not-sha.bin", "abc");
    test::storeAttribute(notSha, kDigestAttributeName, "abc");
    test::storeAttribute(tree.path("f/same-path.bin"), "comment", "kept with the bytes");
    ASSERT_EQ(::chmod(tree.path("f/same-path.bin").c_str(), 0444), 0);
    tree.file("f/same-path.bin.damaged", "an older one");
    ASSERT_EQ(::symlink("deep/by-size.bin", tree.path("f/a-link.bin").c_str()), 0);

    // The backup: attributes kept (cp -a) for most; renamed copies, one
    // without attributes that a search by size would take first.
    ASSERT_EQ(shell("cp -a " + f + "/. " + b), 0);
    ASSERT_EQ(shell("mv " + b + "/by-attribute.bin " + b + "/zz-renamed.bin"), 0);
    ASSERT_EQ(shell("cp " + b + "/zz-renamed.bin " + b + "/aa-plain.bin"), 0);
    ASSERT_EQ(shell("rm " + b + "/deep/by-size.bin " + b + "/same-path.bin.damaged"), 0);
    tree.file("b/other/decoy.bin", bytesOfSize(5000, 'x'));
    ASSERT_EQ(shell("cp " + f + "/deep/by-size.bin " + b + "/other/plain.bin"), 0);
    flipBit(tree.path("b/damaged-copy.bin"));

    std::map<std::string, ino_t> damagedInodes;
    for (const auto* name : {"by-attribute.bin", "deep/by-size.bin", "damaged-copy.bin",
                             "edited.bin", "same-path.bin", "unknown.bin"}) {
        flipBit(tree.path("f/") + name);
        damagedInodes[name] = inodeOf(tree.path("f/") + name);
    }
    const auto copyBefore = snapshot(b);
    const auto folderBefore = snapshot(f);

    // A dry run finds the same copies and writes nothing.
    const auto [dryStatus, dryOut, dryErr] =
        runFromRoot({"repair", "--dry-run", "--json", "--from", b, f});
    EXPECT_EQ(dryStatus, 1) << dryErr;
    std::map<std::string, std::pair<std::string, nlohmann::json>> results;
    std::istringstream lines(dryOut);
    nlohmann::json summary;
    for (std::string line; std::getline(lines, line);) {
        const auto object = nlohmann::json::parse(line);
        if (object["type"] == "summary") {
            summary = object;
        } else {
            results[object["path"].get<std::string>().substr(f.size() + 1)] = {
                object["result"].get<std::string>(), object["copy"]};
        }
    }
    const nlohmann::json none = nullptr;
    const std::map<std::string, std::pair<std::string, nlohmann::json>> expectedResults{
        {"a-link.bin", {"repair-failed", none}},
        {"by-attribute.bin", {"would-repair", b + "/zz-renamed.bin"}},
        {"damaged-copy.bin", {"no-copy", none}},
        {"deep/by-size.bin", {"would-repair", b + "/other/plain.bin"}},
        {"edited.bin", {"left", none}},
        {"matched.bin", {"matched", none}},
        {"not-sha.bin", {"repair-failed", none}},
        {"same-path.bin", {"would-repair", b + "/same-path.bin"}},
        {"same-path.bin.damaged", {"no-digest", none}},
        {"unknown.bin", {"left", none}},
    };
    EXPECT_EQ(results, expectedResults);
    EXPECT_EQ(summary["operation"], "repair");
    EXPECT_EQ(summary["to_repair"], 6);
    EXPECT_EQ(summary["would_repair"], 3);
    EXPECT_EQ(summary["no_copy"], 1);
    EXPECT_EQ(summary["repair_failed"], 2);
    EXPECT_EQ(summary["left"], 2);
    EXPECT_EQ(snapshot(f), folderBefore);
    EXPECT_EQ(snapshot(b), copyBefore);

    const std::vector<Expected> files{
        {"a-link.bin", "❌ Couldn't repair {F}/a-link.bin: reached through a link\n", "", ""},
        {"by-attribute.bin", "✅ Repaired {F}/by-attribute.bin from {B}/zz-renamed.bin\n",
         byAttribute, "by-attribute.bin.damaged"},
        {"damaged-copy.bin", "❌ No intact copy of {F}/damaged-copy.bin\n", "", ""},
        {"deep/by-size.bin", "✅ Repaired {F}/deep/by-size.bin from {B}/other/plain.bin\n", bySize,
         "deep/by-size.bin.damaged"},
        {"edited.bin", "⚠️ Left {F}/edited.bin: modified after it was tagged\n", "", ""},
        {"matched.bin", "✅ Digests for {F}/matched.bin\n", "", ""},
        {"not-sha.bin",
         "❌ Couldn't repair {F}/not-sha.bin: the stored digest is not a SHA-256 digest\n", "", ""},
        {"same-path.bin", "✅ Repaired {F}/same-path.bin from {B}/same-path.bin\n", samePath,
         "same-path.bin.damaged.2"},
        {"same-path.bin.damaged", "⚠️ No digest found for {F}/same-path.bin.damaged\n", "", ""},
        {"unknown.bin",
         "⚠️ Left {F}/unknown.bin: no time stamp tells an edit from damage (--also-unknown "
         "repairs it)\n",
         "", ""},
    };
    std::string expectedReport;
    for (const auto& file : files) {
        expectedReport += file.report;
    }
    expectedReport += "Repaired 3 of 6 damaged files in {F} (3 kept as .damaged).\n";
    std::string report = test::inFolder(expectedReport, f);
    for (auto at = report.find("{B}"); at != std::string::npos; at = report.find("{B}", at)) {
        report.replace(at, 3, b);
    }
    EXPECT_EQ(runFromRoot({"repair", "-v", "-b", "1K", "--from", b, f}), (Outcome{1, report, ""}));

    for (const auto& file : files) {
        const std::string path = tree.path("f/" + file.name);
        if (file.intact.empty()) {
            EXPECT_EQ(snapshot(f)["/" + file.name], folderBefore.at("/" + file.name)) << file.name;
            continue;
        }
        const std::string kept = tree.path("f/" + file.keptName);
        EXPECT_EQ(test::readWholeFile(path), file.intact) << file.name;
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
                  std::string(digestOfBytes(file.intact).view()));
        EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName), std::string(kStamp));
        struct stat now = {};
        ASSERT_EQ(::stat(path.c_str(), &now), 0);
        EXPECT_EQ(now.st_mtim.tv_sec, kStampSecond + kDamaged) << file.name;
        EXPECT_EQ(inodeOf(kept), damagedInodes[file.name]) << file.name;
        EXPECT_NE(test::readWholeFile(kept), file.intact) << file.name;
        EXPECT_EQ(test::readWholeFile(kept).size(), file.intact.size()) << file.name;
        EXPECT_EQ(test::storedAttribute(kept, kDigestAttributeName), std::nullopt) << file.name;
        EXPECT_EQ(test::storedAttribute(kept, kTimeAttributeName), std::nullopt) << file.name;
        const auto mark = test::storedAttribute(kept, kDamagedAttributeName);
        ASSERT_TRUE(mark) << file.name;
        const std::string formerName = std::filesystem::path(path).filename().string();
        EXPECT_EQ(mark->substr(0, formerName.size() + 1), formerName + "\n") << *mark;
        EXPECT_EQ(mark->size(), formerName.size() + 1 + kStamp.size()) << *mark;
    }
    struct stat readOnly = {};
    ASSERT_EQ(::stat(tree.path("f/same-path.bin").c_str(), &readOnly), 0);
    EXPECT_EQ(readOnly.st_mode & 07777, 0444u);
    EXPECT_EQ(test::storedAttribute(tree.path("f/same-path.bin"), "comment"),
              "kept with the bytes");
    EXPECT_EQ(test::readWholeFile(tree.path("f/same-path.bin.damaged")), "an older one");
    EXPECT_EQ(snapshot(b), copyBefore);

    // Asked to, it repairs a file whose verdict is unknown; the damage it cannot
    // touch and the damaged bytes kept are named without -v.
    const std::string kept = "⚠️ Damaged copy kept by repair: " + f + "/";
    EXPECT_EQ(
        runFromRoot({"repair", "--also-unknown", "--from", b, f}),
        (Outcome{1,
                 kept + "by-attribute.bin.damaged\n❌ No intact copy of " + f +
                     "/damaged-copy.bin\n" + kept +
                     "deep/by-size.bin.damaged\n❌ Couldn't "
                     "repair " +
                     f +
                     "/not-sha.bin: the stored digest is not a SHA-256 "
                     "digest\n" +
                     kept + "same-path.bin.damaged.2\n✅ Repaired " + f + "/unknown.bin from " + b +
                     "/unknown.bin\nRepaired 1 of 3 damaged "
                     "files in " +
                     f + " (1 kept as .damaged).\n",
                 ""}));
    EXPECT_EQ(test::readWholeFile(tree.path("f/unknown.bin")), unknown);

    // The kept bytes are never taken for files without a digest, nor tagged.
    runFromRoot({"retag", "--times", f});
    EXPECT_EQ(test::storedAttribute(tree.path("f/unknown.bin.damaged"), kDigestAttributeName),
              std::nullopt);
    const auto [checkStatus, checked, checkErr] = runFromRoot({"check", f});
    EXPECT_EQ(checkStatus, 0) << checkErr;
    EXPECT_EQ(checked.find(kept + "by-attribute.bin.damaged\n" + kept +
                           "deep/by-size.bin.damaged\n" + kept + "same-path.bin.damaged.2\n" +
                           kept + "unknown.bin.damaged\nChecked a total of 14 files in " + f +
                           "\t10 matched digest correctly\n\t0 didn't match their digest\n\t0 "
                           "had no digest."),
              0u)
        << checked;
}

// A copy deeper than this process may open files: indexing it keeps only a
// few of its folders open at a time.
TEST(Repair, FindsACopyBelowMoreFoldersThanItMayOpenFiles)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string b = tree.folder("b");
    const std::string bytes = bytesOfSize(3000, 'q');
    tagged(tree, "f/photo.jpg", bytes);
    flipBit(tree.path("f/photo.jpg"));
    std::string deep = "b";
    for (int depth = 0; depth < 1500; ++depth) {
        deep += "/d";
    }
    test::tagByHand(tree.file(deep + "/renamed.jpg", bytes), kStamp);

    rlimit limit = {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit narrow{std::min<rlim_t>(limit.rlim_cur, 1024), limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &narrow), 0);
    const Outcome outcome = runFromRoot({"repair", "--from", b, f});
    ::setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(outcome, (Outcome{0,
                                "✅ Repaired " + f + "/photo.jpg from " + tree.path(deep) +
                                    "/renamed.jpg\nRepaired 1 of 1 damaged file in " + f +
                                    " (1 kept as .damaged).\n",
                                ""}));
}

TEST(Repair, RefusesCopiesThatOverlapTheFolderAndFilesItCannotSwapSafely)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string b = tree.folder("b");
    tree.folder("f/inner");
    const std::string notFolder = tree.file("plain", "x");
    ASSERT_EQ(::symlink(f.c_str(), tree.path("f-link").c_str()), 0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> usage{
        {{"repair", f}, "no parity set below " + f + "; give --from COPY"},
        {{"repair", "--parity", notFolder, f}, notFolder + ": the parity set must lie in " + f +
                                                 " or a folder below it"},
        {{"repair", "--parity", f + "/inner/../../plain", f},
         f + "/inner/../../plain: the parity set must lie in " + f + " or a folder below it"},
        {{"tag", "--parity", "0", f}, "invalid --parity '0': give a percentage from 1 to 100, or off"},
        {{"check", "--parity", "5", f}, "--parity applies to tag, retag and repair, not to check"},
        {{"tag", "--restore-missing", f}, "--restore-missing applies to repair, not to tag"},
        {{"check", "--heal", f}, "--heal applies to scrub, not to check"},
        {{"check", "--from", b, f}, "--from applies to repair, not to check"},
        {{"check", "--dry-run", f}, "--dry-run applies to repair, tag and retag, not to check"},
        {{"repair", "--from", notFolder, f}, notFolder + ": Not a directory"},
        {{"repair", "--from", tree.path("f/inner"), f},
         tree.path("f/inner") + ": the copy lies inside " + f},
        {{"repair", "--from", tree.path("f-link"), f},
         tree.path("f-link") + ": the copy lies inside " + f},
        {{"repair", "--from", tree.root(), f}, tree.root() + ": the copy holds " + f},
    };
    for (const auto& [args, message] : usage) {
        const auto [status, out, err] = runFromRoot(args);
        EXPECT_EQ(status, 2) << message;
        EXPECT_EQ(out, "");
        EXPECT_EQ(err.find("quelby-cli: " + message), 0u) << err;
    }

    // A damaged file with two names, and one whose .damaged name would be too long.
    const std::string twice = tagged(tree, "f/twice.bin", bytesOfSize(1000, 'a'));
    ASSERT_EQ(::link(twice.c_str(), tree.path("f/twice-again.bin").c_str()), 0);
    const std::string longName(250, 'n');
    const std::string longPath = tagged(tree, "f/" + longName, bytesOfSize(1100, 'b'));
    ASSERT_EQ(shell("cp -a " + f + "/. " + b), 0);
    flipBit(twice);
    flipBit(longPath);
    const auto before = snapshot(f);
    EXPECT_EQ(runFromRoot({"repair", "--from", b, f}),
              (Outcome{1,
                       "❌ Couldn't repair " + f + "/" + longName +
                           ": the name for the damaged file would be longer than the file system "
                           "allows\n❌ Couldn't repair " + f + "/twice-again.bin: the file has "
                           "more than one name\n❌ Couldn't repair " + f +
                           "/twice.bin: the file has more than one name\nRepaired 0 of 3 damaged "
                           "files in " + f + " (0 kept as .damaged).\n",
                       ""}));
    EXPECT_EQ(snapshot(f), before);
}

enum class Interruption
{
    stop,  // SIGTERM arrives
    fail,  // the call fails with EIO
    crash, // the process dies there
};

// What the folder holds after an interrupted repair of photo.jpg: the name
// holds the damaged bytes or the repaired ones, and the damaged bytes are
// somewhere. Returns whether the repair went through.
bool expectNothingLost(const std::string& folder, const std::string& damaged,
                       const std::string& intact, const std::string& context)
{
    const std::string photo = folder + "/photo.jpg";
    const std::string held = test::readWholeFile(photo);
    EXPECT_TRUE(held == damaged || held == intact) << context;
    bool damagedKept = held == damaged;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        damagedKept = damagedKept || test::readWholeFile(entry.path().string()) == damaged;
    }
    EXPECT_TRUE(damagedKept) << context;
    if (held == intact) {
        EXPECT_EQ(test::storedAttribute(photo, kDigestAttributeName),
                  std::string(digestOfBytes(intact).view()))
            << context;
        EXPECT_EQ(test::storedAttribute(photo, kTimeAttributeName), std::string(kStamp))
            << context;
    }
    return held == intact;
}

// Every call that writes, in turn, is where a stop arrives, the call fails,
// or the process dies.
TEST(Repair, LosesNothingWhereverItIsStoppedFailsOrDies)
{
    const std::string intact = bytesOfSize(3000, 'p');
    for (const Interruption interruption :
         {Interruption::stop, Interruption::fail, Interruption::crash}) {
        for (int step = 1;; ++step) {
            test::TempTree tree;
            const std::string f = tree.folder("f");
            const std::string b = tree.folder("b");
            tagged(tree, "f/photo.jpg", intact);
            ASSERT_EQ(shell("cp -a " + f + "/. " + b), 0);
            flipBit(tree.path("f/photo.jpg"));
            const std::string damaged = test::readWholeFile(tree.path("f/photo.jpg"));
            const auto copyBefore = snapshot(b);
            const std::string context =
                "interruption " + std::to_string(static_cast<int>(interruption)) + " at step " +
                std::to_string(step);

            int calls = 0;
            int signal = 0;
            auto runInterrupted = [&] {
                test::ScriptedSystemCalls scripted;
                scripted.onChange = [&](std::string_view) {
                    if (++calls != step) {
                        return 0;
                    }
                    if (interruption == Interruption::crash) {
                        ::_exit(0);
                    }
                    signal = SIGTERM;
                    return interruption == Interruption::fail ? EIO : 0;
                };
                CliEnvironment environment;
                environment.stopSignal = [&] {
                    return interruption == Interruption::stop ? signal : 0;
                };
                return runFromRoot({"repair", "-b", "1K", "--from", b, f}, environment);
            };
            bool reached = true;
            if (interruption == Interruption::crash) {
                const pid_t child = ::fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    (void)runInterrupted();
                    ::_exit(1); // the repair ended before the step: no crash happened
                }
                int status = 0;
                ASSERT_EQ(::waitpid(child, &status, 0), child);
                reached = WIFEXITED(status) && WEXITSTATUS(status) == 0;
                // The next check names every temporary file the dead repair left.
                const auto [checkStatus, checked, checkErr] = runFromRoot({"check", f});
                for (const std::string& name : namesIn(f)) {
                    if (name.starts_with(".quelby-repair-")) {
                        EXPECT_NE(checked.find("⚠️ Left over from an interrupted repair: " + f +
                                               "/" + name + "\n"),
                                  std::string::npos)
                            << context << checked;
                        EXPECT_EQ(checkStatus, 1) << context;
                    }
                }
            } else {
                const auto [status, out, err] = runInterrupted();
                reached = signal != 0;
                if (reached && interruption == Interruption::stop) {
                    EXPECT_EQ(status, 128 + SIGTERM) << context;
                    // Only a file whose outcome was reported counts as done.
                    const bool reported = out.find("✅ Repaired") == 0;
                    EXPECT_NE(out.find(std::string("Stopped after ") + (reported ? "1" : "0") +
                                       " files in " + f + ".\n"),
                              std::string::npos)
                        << context << out;
                }
                if (reached && interruption == Interruption::fail) {
                    EXPECT_EQ(status, 1) << context;
                    EXPECT_EQ(out.find("❌ Couldn't repair " + f + "/photo.jpg: "), 0u)
                        << context << out;
                }
                if (!reached) {
                    EXPECT_EQ(status, 0) << context << out << err;
                }
            }
            const bool repaired = expectNothingLost(f, damaged, intact, context);
            EXPECT_EQ(snapshot(b), copyBefore) << context;
            if (interruption == Interruption::stop || !reached) {
                // A stop before the exchange undoes everything; after it, waits for the rest.
                EXPECT_EQ(namesIn(f), repaired
                                          ? (std::vector<std::string>{"photo.jpg",
                                                                      "photo.jpg.damaged"})
                                          : std::vector<std::string>{"photo.jpg"})
                    << context;
                if (repaired) {
                    EXPECT_EQ(test::storedAttribute(f + "/photo.jpg.damaged", kDigestAttributeName),
                              std::nullopt)
                        << context;
                }
            }
            if (!reached) {
                EXPECT_TRUE(repaired) << context;
                EXPECT_GT(step, 10) << context; // every write of the repair was interrupted
                break;
            }
        }
    }
}

} // namespace
} // namespace quelby::cli
