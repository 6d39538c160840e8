#include "engine/operations/walk.h"
#include "engine/read/digest_pool.h"
#include "engine/read/disk_order.h"
#include "engine/run/time_stamp.h"
#include "engine/run_fixture.h"
#include "random_tree.h"
#include "streamed_report.h"
#include "support/scripted_places.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby {
namespace {

TEST(DiskOrder, TheElevatorReadsUnplacedFilesByInodeThenSweepsUpFromTheHeadThenWraps)
{
    const auto at = [](std::uint64_t start) { return DiskPlace{start, start + 10}; };
    const std::vector<PlacedFile> window = {
        {7, at(500)}, {9, std::nullopt}, {3, at(100)}, {5, std::nullopt},
        {8, at(900)}, {2, at(300)},     {1, at(700)}, {4, std::nullopt},
    };
    struct Case
    {
        std::uint64_t head;
        std::vector<std::size_t> order;
        std::uint64_t headAfter;
    };
    for (const Case& c : {
             Case{0, {7, 3, 1, 2, 5, 0, 6, 4}, 910},   // everything lies above the head
             Case{400, {7, 3, 1, 0, 6, 4, 2, 5}, 310}, // up from 400, then from the lowest
             Case{500, {7, 3, 1, 0, 6, 4, 2, 5}, 310}, // a file at the head goes first
             Case{950, {7, 3, 1, 2, 5, 0, 6, 4}, 910}, // nothing above: from the lowest
         }) {
        std::uint64_t head = c.head;
        EXPECT_EQ(elevatorOrder(window, head), c.order) << "head " << c.head;
        EXPECT_EQ(head, c.headAfter) << "head " << c.head;
        std::size_t backward = 0;
        for (std::size_t i = 1; i < c.order.size(); ++i) {
            const auto& before = window[c.order[i - 1]].place;
            const auto& now = window[c.order[i]].place;
            backward += before && now && now->start < before->start ? 1u : 0u;
        }
        EXPECT_LE(backward, 1u) << "head " << c.head;
    }
    // Names of one file share its place and keep their order.
    std::uint64_t head = 0;
    EXPECT_EQ(elevatorOrder(std::vector<PlacedFile>{{6, at(50)}, {6, at(50)}, {4, at(20)}}, head),
              (std::vector<std::size_t>{2, 0, 1}));
}

using test::Places;

// FIEMAP through the seam, as places asks.
class PlacedCalls : public test::ScriptedSystemCalls
{
public:
    explicit PlacedCalls(Places places) { test::givePlaces(*this, places); }
};

using test::streamedReport;

// Tag, damage some files, Check and Retag; every report and the attributes after each run.
std::vector<std::string> traceOf(std::uint64_t seed, ReadOrder order, std::size_t jobs,
                                 DigestPool& pool)
{
    std::mt19937_64 random(seed);
    test::TempTree tree;
    const auto root = tree.folder("root");
    auto files = test::randomTree(root, random);
    ::symlink(files.front().c_str(), (root + "/link-in").c_str());
    std::vector<std::string> trace;
    const auto run = [&](Operation operation) {
        RunOptions options = test::optionsFor(operation, root, true, operation != Operation::check);
        options.jobs = jobs;
        options.order = order;
        trace.push_back(streamedReport(options, jobs > 1 ? &pool : nullptr));
        std::string attributes;
        for (const auto& [path, values] : test::attributesOf(files)) {
            attributes += path.substr(root.size()) + " " + values.first.value_or("-") + "\n";
        }
        trace.push_back(attributes);
    };
    run(Operation::tag);
    for (const auto& file : files) {
        if (random() % 4 == 0) {
            test::writeWholeFile(file, test::readWholeFile(file) + "changed");
        }
    }
    run(Operation::check);
    run(Operation::retag);
    return trace;
}

TEST(DiskOrder, ReportsAndAttributesAreThoseOfNameOrderWhereverTheFilesLie)
{
    DigestPool pool(2);
    for (const auto seed : test::testSeeds(2, 10)) {
        SCOPED_TRACE("QUELBY_TEST_SEED=" + std::to_string(seed));
        const auto byName = traceOf(seed, ReadOrder::name, 1, pool);
        for (const Places places : {Places::real, Places::none, Places::scattered}) {
            PlacedCalls calls(places);
            for (const std::size_t jobs : {std::size_t{1}, std::size_t{2}}) {
                const auto byDisk = traceOf(seed, ReadOrder::disk, jobs, pool);
                ASSERT_EQ(byDisk.size(), byName.size());
                for (std::size_t i = 0; i < byName.size(); ++i) {
                    EXPECT_EQ(byDisk[i], byName[i])
                        << "places " << static_cast<int>(places) << ", jobs " << jobs << ", step "
                        << i;
                }
            }
        }
    }
}

TEST(DiskOrder, AFileReplacedBetweenItsLookupAndItsReadIsReadAsNameOrderWouldReadIt)
{
    test::TempTree tree;
    const auto root = tree.folder("moving");
    for (int index = 0; index < 30; ++index) {
        tree.file("moving/f" + std::to_string(100 + index), std::string(static_cast<std::size_t>(5000 + index), 'a'));
    }
    RunOptions tagging = test::optionsFor(Operation::tag, root, true);
    streamedReport(tagging, nullptr);
    // Every third file looked up is replaced by a new file of the same name.
    PlacedCalls calls(Places::scattered);
    int lookups = 0;
    const auto lookUp = calls.onFileExtents;
    calls.onFileExtents = [&](int fd, struct fiemap* request) {
        if (lookups++ % 3 == 0) {
            if (const std::string path = test::openedPath(fd); !path.empty()) {
                test::writeWholeFile(path + ".new", "replaced");
                EXPECT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
            }
        }
        return lookUp(fd, request);
    };
    DigestPool pool(2);
    for (const std::size_t jobs : {std::size_t{1}, std::size_t{2}}) {
        RunOptions checking = test::optionsFor(Operation::check, root, true);
        checking.jobs = jobs;
        checking.order = ReadOrder::disk;
        const std::string byDisk = streamedReport(checking, jobs > 1 ? &pool : nullptr);
        checking.order = ReadOrder::name;
        EXPECT_EQ(byDisk, streamedReport(checking, jobs > 1 ? &pool : nullptr)) << jobs << " jobs";
        EXPECT_NE(byDisk.find("f100"), std::string::npos);
    }
}

// Entries that need no read fill a window as files do: behind one file
// waiting for its sweep, a full window of FIFOs must not wait forever.
TEST(DiskOrder, OneFileBeforeAFullWindowOfFifosIsReadAndTheRunEndsAsInNameOrder)
{
    test::TempTree tree;
    const auto root = tree.folder("fifos");
    tree.file("fifos/a", "a");
    for (int index = 0; index < 4096; ++index) {
        ASSERT_EQ(::mkfifo((root + "/p" + std::to_string(10000 + index)).c_str(), 0644), 0);
    }
    RunOptions checking = test::optionsFor(Operation::check, root, true);
    const std::string byName = streamedReport(checking, nullptr);
    ASSERT_NE(byName.find("Checked a total of 4097 files"), std::string::npos) << byName;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60); // the watchdog: a run that hangs is killed
        checking.order = ReadOrder::disk;
        ::_exit(streamedReport(checking, nullptr) == byName ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the run in disk order hung and was killed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "disk order reported otherwise than name order";
}

using test::StopAfterBytes;

TEST(DiskOrder, AStopKeepsEveryFileFinishedAndReportsEachOfThem)
{
    PlacedCalls calls(Places::scattered);
    DigestPool pool(2);
    for (const std::size_t jobs : {std::size_t{1}, std::size_t{2}}) {
        test::TempTree tree;
        const auto root = tree.folder("stopped");
        std::vector<std::string> files;
        for (int index = 0; index < 40; ++index) {
            files.push_back(tree.file("stopped/f" + std::to_string(100 + index),
                                      std::string(64 << 10, static_cast<char>('a' + index % 26))));
        }
        RunOptions options = test::optionsFor(Operation::tag, root, true);
        options.jobs = jobs;
        options.order = ReadOrder::disk;
        StopAfterBytes observer(1 << 20);
        const RunState state = walkFolder(options, observer, jobs > 1 ? &pool : nullptr);
        EXPECT_TRUE(state.stopped);
        std::size_t tagged = 0;
        for (const auto& [path, values] : test::attributesOf(files)) {
            if (values.first) {
                ++tagged;
                EXPECT_NE(observer.streamed.find(path.substr(root.size())), std::string::npos)
                    << path << " was tagged and not reported, " << jobs << " jobs";
            }
        }
        EXPECT_GT(tagged, 0u);
        if (jobs == 1) {
            // A worker may finish every file before the walk's thread sees the stop.
            EXPECT_LT(tagged, files.size());
        }
    }
}

} // namespace
} // namespace quelby
