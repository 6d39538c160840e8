#include "engine/evidence/evidence_choice.h"
#include "engine/operations/walk.h"
#include "engine/read/digest_pool.h"
#include "engine/run/time_stamp.h"
#include "engine/run_fixture.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "random_tree.h"
#include "streamed_report.h"
#include "support/scripted_system_calls.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <utility>
#include <thread>
#include <unistd.h>

namespace quelby {
namespace {

using test::openedPath;
using test::streamedReport;

// The digest and whether a stamp is there, by path below the root.
std::map<std::string, std::pair<std::optional<std::string>, bool>>
attributesBelow(const std::string& root, const std::vector<std::string>& files)
{
    std::map<std::string, std::pair<std::optional<std::string>, bool>> seen;
    for (const auto& [path, values] : test::attributesOf(files)) {
        seen[path.substr(root.size())] = {values.first, values.second.has_value()};
    }
    return seen;
}

struct Trace
{
    std::vector<std::string> reports;
    std::vector<std::map<std::string, std::pair<std::optional<std::string>, bool>>> attributes;
    std::vector<std::string> manifests;
};

// A manifest's digest lines, without the stamps that tell when each tree was tagged.
std::string digestLinesOf(const std::string& manifest)
{
    std::istringstream lines(test::readWholeFile(manifest));
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with('#')) {
            kept += line + "\n";
        }
    }
    return kept;
}

// The first folder below root that holds a file: it gets a manifest of its
// own, so that its outcomes come late behind the walk. Empty when there is none.
std::string folderForAManifest(const std::string& root, const std::vector<std::string>& files)
{
    for (const std::string& file : files) {
        const std::size_t slash = file.rfind('/');
        if (slash > root.size()) {
            return file.substr(0, slash);
        }
    }
    return {};
}

// Tag, damage, Check, Retag and Check a tree made from the seed, with jobs workers.
Trace traceOf(std::uint64_t seed, std::size_t jobs, DigestPool& pool)
{
    std::mt19937_64 random(seed);
    test::TempTree tree;
    const auto root = tree.folder("root");
    auto files = test::randomTree(root, random);
    ::symlink(files.front().c_str(), (root + "/link-in").c_str());
    ::symlink("/proc/version", (root + "/link-proc").c_str());
    files.push_back(tree.file("root/x_unreadable", "never read"));
    const std::string nested = folderForAManifest(root, files);
    if (!nested.empty()) {
        test::writeWholeFile(nested + "/.quelby.sha256", "# Quelby manifest 1\n");
    }
    Trace trace;
    const auto run = [&](Operation operation) {
        RunOptions options = test::optionsFor(operation, root, true, operation != Operation::check);
        options.jobs = jobs;
        auto chosen =
            chooseEvidenceStore(options, StoreChoice::automatic, operation != Operation::check);
        ASSERT_TRUE(chosen) << chosen.error().reason;
        options.evidence = chosen->store;
        options.folderFd = chosen->folder;
        trace.reports.push_back(streamedReport(options, &pool));
        if (auto written = options.evidence->finish(); !written) {
            trace.reports.back() += written.error();
        }
        trace.attributes.push_back(attributesBelow(root, files));
        trace.manifests.push_back(nested.empty() ? "" : digestLinesOf(nested + "/.quelby.sha256"));
    };
    run(Operation::tag);
    for (const auto& file : files) {
        if (random() % 4 == 0) {
            test::writeWholeFile(file, test::readWholeFile(file) + "changed");
        } else if (random() % 4 == 0) {
            test::removeAttribute(file, kDigestAttributeName);
        }
    }
    run(Operation::check);
    run(Operation::retag);
    run(Operation::check);
    return trace;
}

TEST(Parallel, AnyNumberOfWorkersGivesTheReportsAndAttributesOfOne)
{
    // A read of any file named "…_unreadable" fails, whichever worker makes it.
    test::ScriptedSystemCalls calls;
    calls.onRead = [&calls](int fd, void* buffer, std::size_t size) -> ssize_t {
        if (openedPath(fd).ends_with("_unreadable")) {
            errno = EIO;
            return -1;
        }
        return calls.SystemCalls::read(fd, buffer, size);
    };
    DigestPool pool(8);
    for (const auto seed : test::testSeeds(2, 20)) {
        SCOPED_TRACE("QUELBY_TEST_SEED=" + std::to_string(seed));
        const Trace one = traceOf(seed, 1, pool);
        ASSERT_NE(one.reports[0].find("x_unreadable: " + std::string(std::strerror(EIO))),
                  std::string::npos)
            << one.reports[0];
        for (const std::size_t jobs : {std::size_t{2}, std::size_t{3}, std::size_t{8}}) {
            const Trace many = traceOf(seed, jobs, pool);
            for (std::size_t run = 0; run < one.reports.size(); ++run) {
                EXPECT_EQ(many.reports[run], one.reports[run]) << jobs << " workers, run " << run;
            }
            EXPECT_TRUE(many.attributes == one.attributes) << jobs << " workers";
            EXPECT_EQ(many.manifests, one.manifests) << jobs << " workers";
        }
    }
}

TEST(Parallel, TwoNamesOfOneFileAreNeverReadAtOnceHoweverSlowTheFirst)
{
    // Each file has a second name later in walk order. Every read through the
    // first name is slowed, so that a worker free meanwhile would reach the
    // second name while the first is still being read, on every run.
    test::TempTree tree;
    const auto root = tree.folder("names");
    for (int index = 0; index < 4; ++index) {
        const auto first = tree.file("names/a" + std::to_string(index), std::string(10000, 'x'));
        ASSERT_EQ(::link(first.c_str(), tree.path("names/b" + std::to_string(index)).c_str()), 0);
    }
    std::mutex mutex;
    std::map<ino_t, int> readers;
    std::set<std::string> namesRead;
    bool overlapped = false;
    test::ScriptedSystemCalls calls;
    calls.onRead = [&](int fd, void* buffer, std::size_t size) -> ssize_t {
        struct stat info
        {};
        ::fstat(fd, &info);
        const std::string path = openedPath(fd);
        const std::string name = path.substr(path.rfind('/') + 1);
        {
            const std::lock_guard lock(mutex);
            overlapped |= ++readers[info.st_ino] > 1;
            namesRead.insert(name);
        }
        if (name.starts_with('a')) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const ssize_t result = calls.realRead(fd, buffer, size);
        const std::lock_guard lock(mutex);
        --readers[info.st_ino];
        return result;
    };
    DigestPool pool(8);
    for (const Operation operation : {Operation::tag, Operation::check}) {
        for (const std::size_t jobs : {std::size_t{2}, std::size_t{8}}) {
            namesRead.clear();
            overlapped = false;
            RunOptions options = test::optionsFor(operation, root, true, true);
            options.jobs = jobs;
            const std::string report = streamedReport(options, &pool);
            EXPECT_FALSE(overlapped) << jobs << " workers\n" << report;
            EXPECT_EQ(report.find("❌"), std::string::npos) << report;
            // Both names of each file were read: the slow first name held the second back.
            EXPECT_EQ(namesRead.size(), 8u) << jobs << " workers\n" << report;
        }
    }
}

using test::StopAfterBytes;

TEST(Parallel, AStopInsideLargeFilesLeavesNoWrongValueAmongEightWorkersOrOne)
{
    test::TempTree tree;
    const auto root = tree.folder("big");
    constexpr off_t kSize = 48 << 20;
    std::vector<std::string> files;
    for (int index = 0; index < 12; ++index) {
        files.push_back(tree.file("big/" + std::to_string(index)));
        ASSERT_EQ(::truncate(files.back().c_str(), kSize), 0);
    }
    const std::string zeros(static_cast<std::size_t>(kSize), '\0');
    const std::string truth(digestOfBytes(zeros).view());
    DigestPool pool(8);
    for (const auto& [jobs, stopAt] : {std::pair<std::size_t, std::int64_t>{8, 1},
                                       {8, std::int64_t{5} * kSize / 2},
                                       {1, 1},
                                       {1, std::int64_t{5} * kSize / 2}}) {
        RunOptions options = test::optionsFor(Operation::tag, root, true, true);
        options.jobs = jobs;
        options.realBufferSize = 64 << 10;
        StopAfterBytes observer(stopAt);
        const RunState state = walkFolder(options, observer, &pool);
        EXPECT_TRUE(state.stopped);
        std::int64_t namedCount = 0;
        for (const auto& file : files) {
            const auto digest = test::storedAttribute(file, kDigestAttributeName);
            const bool named = observer.streamed.find(" for " + file + "\n") != std::string::npos;
            namedCount += named ? 1 : 0;
            EXPECT_EQ(digest.has_value(), named) << file;
            if (digest) {
                EXPECT_EQ(*digest, truth) << file;
            }
            EXPECT_EQ(test::storedAttribute(file, kTimeAttributeName).has_value(),
                      digest.has_value());
            test::removeAttribute(file, kDigestAttributeName);
            test::removeAttribute(file, kTimeAttributeName);
        }
        // The files the stop cut short are neither named nor counted. One
        // worker reads the files one by one, and stops inside the file it reads.
        EXPECT_LT(namedCount, 12);
        if (jobs == 1) {
            EXPECT_EQ(namedCount, stopAt / kSize) << observer.streamed;
        }
        EXPECT_EQ(stoppedText(options, state),
                  "Stopped after " + std::to_string(namedCount) + " files in " + root + ".\n")
            << observer.streamed;
    }
}

} // namespace
} // namespace quelby
