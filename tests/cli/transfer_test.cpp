#include "engine/read/file_digest.h"
#include "engine/run_fixture.h"
#include "engine/store/tag_store.h"
#include "support/hex.h"
#include "tool_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace quelby::cli {
namespace {

std::string hexOf(std::string_view contents)
{
    return test::hex(digestOfBytes(contents).view());
}

// A damaged copy's list never replaces good evidence; a path that leaves the
// folder is never followed; every listed line is counted.
TEST(Import, StoresOnlyWhatTheListProvesAndRefusesPathsThatLeaveTheFolder)
{
    test::TempTree tree;
    const std::string folder = tree.folder("f");
    const std::string outside = tree.file("outside.txt", "outside");
    tree.file("elsewhere/outside.txt", "outside");
    tree.file("f/ok", "ok");
    tree.file("f/damaged", "damaged now");
    tree.file("f/kept", "kept");
    test::storeAttribute(folder + "/kept", kDigestAttributeName, digestOfBytes("earlier").view());
    tree.file("f/same", "same");
    test::storeAttribute(folder + "/same", kDigestAttributeName, digestOfBytes("same").view());
    ASSERT_EQ(::symlink(tree.path("elsewhere").c_str(), (folder + "/linked").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (folder + "/outfile").c_str()), 0);
    ASSERT_EQ(::mkfifo((folder + "/pipe").c_str(), 0644), 0);
    const std::string list = tree.file(
        "list", "# by hand\n" + hexOf("ok") + "  ok\n" + hexOf("damaged") + "  damaged\n" +
                    hexOf("kept") + "  kept\n" + hexOf("same") + "  ./same\n" + hexOf("x") +
                    "  gone\n" + hexOf("outside") + "  ../outside.txt\n" + hexOf("outside") +
                    "  " + outside + "\n" + hexOf("outside") + "  linked/outside.txt\n" +
                    hexOf("outside") + "  outfile\n\nnot a digest line\n" + hexOf("") +
                    "  pipe\n");

    // Files are named as Check names them; a path that leaves the folder as it is listed.
    const std::string leaves = ": the path leaves the folder\n";
    const std::string in = folder + "/";
    EXPECT_EQ(runTool({"import", list, folder}),
              (Outcome{1,
                       "❌ Couldn't read ../outside.txt" + leaves + "❌ Couldn't read " + outside +
                           ": absolute paths are refused; list paths relative to " + folder +
                           "\n❌ Couldn't read line 12 of " + list + ": not a SHA-256 line\n" +
                           "❌ Digests for " + in + "damaged aren't equal.\n❌ Missing " + in +
                           "gone\n⚠️ Kept the stored digest of " + in +
                           "kept\n❌ Couldn't read linked/outside.txt" + leaves + "✅ Imported " +
                           in + "ok\n❌ Couldn't read outfile" + leaves +
                           "Imported 2 of 11 listed files into " + folder + ".\n",
                       ""}));
    EXPECT_EQ(test::storedDigest(folder + "/ok"), digestOfBytes("ok").view());
    EXPECT_EQ(test::storedDigest(folder + "/damaged"), "(none)");
    EXPECT_EQ(test::storedDigest(folder + "/kept"), digestOfBytes("earlier").view());
    EXPECT_EQ(test::storedDigest(outside), "(none)");
    EXPECT_EQ(test::storedDigest(tree.path("elsewhere/outside.txt")), "(none)");

    // The same list again as JSON: ok and same are now imported, each with its object.
    const auto [status, json, err] = runTool({"import", "--json", list, folder});
    EXPECT_EQ(status, 1);
    std::istringstream objects(json);
    std::vector<std::string> results;
    std::vector<std::string> paths;
    for (std::string line; std::getline(objects, line);) {
        const auto object = nlohmann::json::parse(line);
        results.push_back(object.value("result", "summary"));
        const auto path = object.find("path");
        paths.push_back(path != object.end() && path->is_string() ? path->get<std::string>() : "");
    }
    EXPECT_EQ(results, (std::vector<std::string>{"read-failed", "read-failed", "read-failed",
                                                 "differs", "missing", "kept", "read-failed",
                                                 "imported", "read-failed", "imported",
                                                 "summary"}));
    EXPECT_EQ(paths, (std::vector<std::string>{"../outside.txt", outside, "", in + "damaged",
                                               in + "gone", in + "kept", "linked/outside.txt",
                                               in + "ok", "outfile", in + "same", ""}));
}

} // namespace
} // namespace quelby::cli
