// Import in disk order: the same report, JSON and attributes as in name
// order, whatever the file system says of where the files lie.

#include "engine/read/file_digest.h"
#include "engine/store/tag_store.h"
#include "support/hex.h"
#include "support/scripted_places.h"
#include "support/temp_tree.h"
#include "tool_runner.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby::cli {
namespace {

std::string hexOf(std::string_view contents)
{
    return test::hex(digestOfBytes(contents).view());
}


using test::Places;

// FIEMAP as places asks, and the files below folder in the order their
// contents are first read.
class PlacedCalls : public test::ScriptedSystemCalls
{
public:
    PlacedCalls(Places places, std::string folder) : folder_(std::move(folder) + "/")
    {
        test::givePlaces(*this, places);
        onRead = [this](int fd, void* buffer, std::size_t size) {
            const ssize_t count = SystemCalls::read(fd, buffer, size);
            const std::string path = test::openedPath(fd);
            if (path.starts_with(folder_)) {
                const std::string name = path.substr(folder_.size());
                if (reads.empty() || reads.back() != name) {
                    reads.push_back(name);
                }
                bytesRead += std::max<ssize_t>(count, 0);
            }
            return count;
        };
    }

    std::vector<std::string> reads; // one name per run of reads of one file
    std::atomic<std::int64_t> bytesRead = 0;

private:
    std::string folder_;
};

// name, contents, listed contents (what the list's digest was made from)
struct Listed
{
    std::string name;
    std::string contents;
    std::string listed;
};

std::vector<Listed> oddTree()
{
    std::vector<Listed> files = {
        {"a/plain", "1", "1"},
        {"a/sp ace", "22", "22"},
        {"a/damaged", "damaged now", "damaged"},
        {"b/c/bad\xff\xfe", "4444", "4444"},
        {"b/c/deep", std::string(200000, 'x'), std::string(200000, 'x')},
        {"b-c", "5", "5"},
        {"b/\xc3\xbcn\xc3\xaf", "6", "6"},
        {"kept", "kept", "kept"},
        {"empty", "", ""},
        {"z", "7", "7"},
    };
    for (int index = 0; index < 30; ++index) {
        const std::string contents(static_cast<std::size_t>(100 * index + 1), static_cast<char>('a' + index % 26));
        files.push_back({"n/f" + std::to_string(100 + index), contents, contents});
    }
    return files;
}

// A fresh tree below folder, every file dated in the past, and its list, in
// another order than the walk's, with a missing file, a folder, a line listed
// twice, a path that leaves the folder and a line that is no digest.
std::string makeTree(test::TempTree& tree, const std::string& folder)
{
    std::string list = "# reversed\n";
    const auto files = oddTree();
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        const std::string path = tree.file(folder + "/" + file->name, file->contents);
        EXPECT_TRUE(test::setModificationTime(path, 1000000000));
        list += hexOf(file->listed) + "  " + file->name + "\n";
    }
    test::storeAttribute(tree.path(folder + "/kept"), kDigestAttributeName,
                         digestOfBytes("earlier").view());
    list += hexOf("x") + "  gone\n" + hexOf("1") + "  ./a//plain\n" + hexOf("") + "  b/c\n" +
            hexOf("5") + "  ../b-c\nnot a digest line\n";
    return tree.file(folder + ".list", list);
}

// The report with the folder and the time taken left out, and every file's stored digest.
std::string traceOf(const std::vector<std::string>& args, const std::string& folder)
{
    auto [status, out, err] = runInProcess(args);
    std::string trace = "status " + std::to_string(status) + "\n" + err;
    if (std::ranges::find(args, "--json") != args.end()) {
        std::istringstream lines(out);
        out.clear();
        for (std::string line; std::getline(lines, line);) {
            auto object = nlohmann::json::parse(line);
            object.erase("seconds");
            object.erase("path_base64"); // the folder's path in base64, which differs run to run
            out += object.dump() + "\n";
        }
    }
    trace += out;
    for (const Listed& file : oddTree()) {
        const auto stored = test::storedAttribute(folder + "/" + file.name, kDigestAttributeName);
        trace += file.name + " " + (stored ? test::hex(*stored) : "(none)") + "\n";
    }
    for (auto at = trace.find(folder); at != std::string::npos; at = trace.find(folder, at)) {
        trace.replace(at, folder.size(), "{F}");
    }
    return trace;
}

TEST(ImportOrder, DiskOrderReportsAndStoresWhatNameOrderDoesWhereverTheFilesLie)
{
    for (const bool json : {false, true}) {
        const auto runIn = [json](Places places, const std::string& order,
                                  std::vector<std::string>* reads) {
            test::TempTree tree;
            const std::string list = makeTree(tree, "f");
            const std::string folder = tree.path("f");
            PlacedCalls calls(places, folder);
            std::vector<std::string> args = {"import", "--order", order, list, folder};
            if (json) {
                args.insert(args.begin() + 1, "--json");
            }
            std::string trace = traceOf(args, folder);
            if (reads) {
                *reads = calls.reads;
            }
            return trace;
        };
        std::vector<std::string> byNameReads;
        const std::string byName = runIn(Places::scattered, "name", &byNameReads);
        EXPECT_NE(byName.find(json ? "\"imported\":39" : "Imported 39 of 45 listed files"),
                  std::string::npos)
            << byName;
        for (const Places places : {Places::real, Places::none, Places::scattered}) {
            std::vector<std::string> reads;
            EXPECT_EQ(runIn(places, "disk", &reads), byName)
                << "places " << static_cast<int>(places) << (json ? ", JSON" : "");
            // Every file is read once, the line listed twice included: its digest is kept.
            std::vector<std::string> sorted = reads;
            std::ranges::sort(sorted);
            EXPECT_EQ(std::ranges::adjacent_find(sorted), sorted.end())
                << "a file read twice, places " << static_cast<int>(places) << ": "
                << testing::PrintToString(reads);
            EXPECT_EQ(sorted.size(), byNameReads.size());
            EXPECT_NE(reads, byNameReads) << "the reads kept walk order";
        }
    }
}

// A file rewritten in place, same size, or replaced by another, after its
// contents were read ahead and before it is judged, is judged by what it now
// holds, as in name order.
TEST(ImportOrder, AFileRewrittenAfterItsReadAheadIsJudgedByItsNewContents)
{
    for (const std::string order : {"name", "disk"}) {
        test::TempTree tree;
        const std::string folder = tree.folder("f");
        std::string list;
        for (const std::string name : {"first", "m1", "m2", "m3", "zlast"}) {
            const std::string path = tree.file("f/" + name, "old " + name);
            ASSERT_TRUE(test::setModificationTime(path, 1000000000));
            list += hexOf("old " + name) + "  " + name + "\n";
        }
        const std::string listFile = tree.file("list", list);
        PlacedCalls calls(Places::scattered, folder);
        // The stored digest of the first file is asked for once every file of
        // the window has been read ahead, and before zlast is judged.
        bool rewritten = false;
        calls.onGetAttribute = [&](int fd, const char* name, void* value, std::size_t size) {
            if (!rewritten && test::openedPath(fd) == folder + "/first") {
                rewritten = true;
                test::writeWholeFile(folder + "/zlast", "new zlast");
                // ...and m2 replaced by another file of the same size.
                test::writeWholeFile(folder + "/m2.new", "new m2");
                EXPECT_EQ(::rename((folder + "/m2.new").c_str(), (folder + "/m2").c_str()), 0);
            }
            return calls.SystemCalls::getAttribute(fd, name, value, size);
        };
        const auto [status, out, err] = runInProcess({"import", "--order", order, listFile, folder});
        EXPECT_TRUE(rewritten) << order;
        EXPECT_EQ(status, 1) << order;
        const std::string f = folder + "/";
        EXPECT_EQ(out, "✅ Imported " + f + "first\n✅ Imported " + f + "m1\n❌ Digests for " + f +
                           "m2 aren't equal.\n✅ Imported " + f + "m3\n❌ Digests for " + f +
                           "zlast aren't equal.\nImported 3 of 5 listed files into " + folder +
                           ".\n")
            << order << "\n"
            << err;
        EXPECT_EQ(test::storedAttribute(folder + "/zlast", kDigestAttributeName), std::nullopt)
            << order;
    }
}

// A stop while a window is read ahead: the files read so far are still
// judged and stored, in walk order, up to the first that was not read.
TEST(ImportOrder, AStopKeepsTheFilesReadAheadUpToTheFirstNotRead)
{
    test::TempTree tree;
    const std::string folder = tree.folder("f");
    std::string list;
    std::vector<std::string> names;
    for (int index = 0; index < 40; ++index) {
        const std::string contents(64 << 10, static_cast<char>('a' + index % 26));
        names.push_back("f" + std::to_string(100 + index));
        tree.file("f/" + names.back(), contents);
        list += hexOf(contents) + "  " + names.back() + "\n";
    }
    const std::string listFile = tree.file("list", list);
    PlacedCalls calls(Places::scattered, folder);
    // Each pair of files lies the other way round on the disk: f101 before f100, and so on.
    calls.onFileExtents = [](int fd, struct fiemap* request) {
        const std::string path = test::openedPath(fd);
        const auto index = static_cast<std::uint64_t>(std::stoi(path.substr(path.size() - 3)) - 100);
        request->fm_mapped_extents = 1;
        request->fm_extents[0] = {};
        request->fm_extents[0].fe_physical = (index ^ 1u) << 20;
        request->fm_extents[0].fe_length = 64 << 10;
        request->fm_extents[0].fe_flags = FIEMAP_EXTENT_LAST;
        return 0;
    };
    CliEnvironment environment;
    environment.stopSignal = [&calls] { return calls.bytesRead >= (1 << 20) ? SIGINT : 0; };
    const auto [status, out, err] =
        runInProcess({"import", "--order", "disk", listFile, folder}, environment);
    EXPECT_EQ(status, 128 + SIGINT) << out << err;
    std::string imported;
    std::size_t stored = 0;
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (test::storedAttribute(folder + "/" + names[index], kDigestAttributeName)) {
            EXPECT_EQ(stored, index) << names[index] << " stored after a gap";
            imported += "✅ Imported " + folder + "/" + names[index] + "\n";
            ++stored;
        }
    }
    EXPECT_GT(stored, 0u) << "nothing read ahead was kept";
    EXPECT_LT(stored, names.size());
    EXPECT_EQ(out, imported + "Stopped after " + std::to_string(stored) + " files in " + folder +
                       ".\n");
}

TEST(ImportOrder, OrderIsRefusedOnlyWhereNothingIsRead)
{
    test::TempTree tree;
    const std::string folder = tree.folder("f");
    const std::string list = tree.file("list", "");
    EXPECT_EQ(std::get<0>(runInProcess({"import", "--order", "disk", list, folder})), 0);
    EXPECT_EQ(std::get<0>(runInProcess({"import", "--order", "sideways", list, folder})), 2);
    EXPECT_EQ(runInProcess({"export", "--order", "disk", folder}),
              (Outcome{2, "",
                       "quelby-cli: --order applies to check, tag, retag, repair, scrub and "
                       "import, not to export (see quelby-cli --help)\n"}));
}

} // namespace
} // namespace quelby::cli
