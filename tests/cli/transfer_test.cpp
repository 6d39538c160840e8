#include "engine/read/file_digest.h"
#include "engine/run_fixture.h"
#include "engine/store/tag_store.h"
#include "tool_runner.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

namespace quelby::cli {
namespace {

std::string hexOf(std::string_view contents)
{
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digestOfBytes(contents).bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

std::string storedDigest(const std::string& path)
{
    return test::storedAttribute(path, kDigestAttributeName).value_or("(none)");
}

std::string quoted(const std::string& path)
{
    return "'" + path + "'";
}

std::size_t count(const std::string& text, std::string_view piece)
{
    std::size_t found = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++found;
    }
    return found;
}

const std::vector<std::pair<std::string, std::string>> kOddNames = {
    {"plain", "a"},        {"back\\slash", "b"}, {"line\nfeed", "c"},
    {"carriage\rreturn", "d"}, {"bad\xff\xfe", "e"}, {"sub/inner", "f"},
};

// Export on the source, sha256sum -c, a copy that drops attributes, import on
// the copy: every odd name arrives with its digest.
TEST(Transfer, DigestsOfOddNamesTravelThroughSha256sumToACopyWithoutAttributes)
{
    test::TempTree tree;
    const std::string source = tree.folder("source");
    for (const auto& [name, contents] : kOddNames) {
        tree.file("source/" + name, contents);
    }
    ASSERT_EQ(std::get<0>(runTool({"tag", "--store", "attributes", source})), 0);
    tree.file("source/untagged", "g");

    for (const std::string form : {"", "--tag"}) {
        std::vector<std::string> args = {"export", source};
        if (!form.empty()) {
            args.insert(args.begin() + 1, form);
        }
        const auto [status, out, err] = runTool(args);
        EXPECT_EQ(status, 3) << form;
        EXPECT_EQ(err, "Exported 6 digests from " + source + "; 1 files had none.\n");
        EXPECT_EQ(count(out, "\n"), 6u) << out; // the names' line feeds are escaped
        test::writeWholeFile(tree.path("sums" + form), out);
        EXPECT_EQ(test::runCommand("cd " + quoted(source) + " && sha256sum -c --strict " +
                                   quoted(tree.path("sums" + form)) + " >/dev/null 2>&1"),
                  0)
            << form << "\n" << out;
    }
    const auto [jsonStatus, json, jsonErr] = runTool({"export", "--json", source});
    std::istringstream objects(json);
    std::vector<std::string> paths;
    for (std::string line; std::getline(objects, line);) {
        const auto object = nlohmann::json::parse(line);
        paths.push_back(object.value("path", ""));
        EXPECT_EQ(object["digest"].get<std::string>().size(), 64u);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"back\\slash", "bad\xef\xbf\xbd\xef\xbf\xbd",
                                               "carriage\rreturn", "line\nfeed", "plain",
                                               "sub/inner"}));

    const std::string copy = tree.path("copy");
    ASSERT_EQ(test::runCommand("cp -r " + quoted(source) + " " + quoted(copy)), 0);
    ASSERT_EQ(storedDigest(copy + "/plain"), "(none)");
    const auto [status, out, err] = runTool({"import", tree.path("sums"), copy});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(count(out, "✅ Imported "), 6u) << out;
    EXPECT_TRUE(out.ends_with("Imported 6 of 6 listed files into " + copy + ".\n")) << out;
    for (const auto& [name, contents] : kOddNames) {
        EXPECT_EQ(storedDigest(copy + "/" + name), digestOfBytes(contents).view()) << name;
    }
    EXPECT_EQ(storedDigest(copy + "/untagged"), "(none)");
    // Again, from the BSD form: all imported already, so no line but the summary.
    EXPECT_EQ(runTool({"import", tree.path("sums--tag"), copy}),
              (Outcome{0, "Imported 6 of 6 listed files into " + copy + ".\n", ""}));
}

// The lists other programs write, in every form import reads.
TEST(Import, ReadsTheListsSha256sumAndRhashWrite)
{
    const struct
    {
        std::string command;
    } makers[] = {
        {"sha256sum a 'b c' sub/d"},
        {"sha256sum -b a 'b c' sub/d"},
        {"sha256sum --tag a 'b c' sub/d"},
        {"rhash --sha256 a 'b c' sub/d"},
        {"rhash --bsd --sha256 a 'b c' sub/d"},
        {"sha256sum a 'b c' sub/d | sed 's/^[0-9a-f]*/\\U&/; s/$/\\r/'"},
    };
    for (const auto& maker : makers) {
        test::TempTree tree;
        const std::string folder = tree.folder("f");
        tree.file("f/a", "1");
        tree.file("f/b c", "2");
        tree.file("f/sub/d", "3");
        const std::string list = tree.path("list");
        ASSERT_EQ(test::runCommand("cd " + quoted(folder) + " && (" + maker.command + ") > " +
                                   quoted(list)),
                  0)
            << maker.command;
        const auto [status, out, err] = runTool({"import", list, folder});
        EXPECT_EQ(status, 0) << maker.command << "\n" << out << err;
        EXPECT_EQ(out, "✅ Imported " + folder + "/a\n✅ Imported " + folder + "/b c\n✅ Imported " +
                           folder + "/sub/d\nImported 3 of 3 listed files into " + folder + ".\n")
            << maker.command;
        EXPECT_EQ(storedDigest(folder + "/sub/d"), digestOfBytes("3").view()) << maker.command;
    }
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
    EXPECT_EQ(storedDigest(folder + "/ok"), digestOfBytes("ok").view());
    EXPECT_EQ(storedDigest(folder + "/damaged"), "(none)");
    EXPECT_EQ(storedDigest(folder + "/kept"), digestOfBytes("earlier").view());
    EXPECT_EQ(storedDigest(outside), "(none)");
    EXPECT_EQ(storedDigest(tree.path("elsewhere/outside.txt")), "(none)");

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

// On a file system that keeps no attributes the evidence is in a manifest:
// export lists it, import merges into it without touching other entries.
TEST(Transfer, MovesDigestsInAndOutOfAManifestOnAFileSystemWithoutAttributes)
{
    test::TempTree tree;
    const std::string mount = tree.folder("ramfs");
    if (::mount("none", mount.c_str(), "ramfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "cannot mount a ramfs here: " << std::strerror(errno);
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        mount.c_str(), [](const char* path) { ::umount2(path, MNT_DETACH); });
    const std::string source = tree.folder("ramfs/source");
    const std::string copy = tree.folder("ramfs/copy");
    for (const auto& [name, contents] : kOddNames) {
        tree.file("ramfs/source/" + name, contents);
        tree.file("ramfs/copy/" + name, contents);
    }
    ASSERT_EQ(std::get<0>(runTool({"tag", source})), 0);
    const auto [status, sums, err] = runTool({"export", source});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, "Digests are kept in " + source + "/.quelby.sha256\nExported 6 digests from " +
                       source + "; 0 files had none.\n");
    const std::string list = tree.file("sums", sums);

    // The copy's manifest already names a different digest for one file.
    tree.file("ramfs/copy/back\\slash", "b, edited");
    ASSERT_EQ(std::get<0>(runTool({"tag", "--store", "manifest", copy})), 0);
    const std::string before = test::readWholeFile(copy + "/.quelby.sha256");
    tree.file("ramfs/copy/back\\slash", "b");
    tree.file("ramfs/copy/line\nfeed", "c, damaged");
    // ...and has lost the entries of two others.
    std::istringstream lines(before);
    std::string shorter;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("plain") == std::string::npos && line.find("carriage") == std::string::npos) {
            shorter += line + "\n";
        }
    }
    ASSERT_EQ(count(before, "\n"), count(shorter, "\n") + 2);
    ASSERT_EQ(::unlink((copy + "/.quelby.sha256").c_str()), 0);
    test::writeWholeFile(copy + "/.quelby.sha256", shorter);
    const auto [importStatus, out, importErr] = runTool({"import", list, copy});
    EXPECT_EQ(importStatus, 1);
    EXPECT_TRUE(out.starts_with("⚠️ Kept the stored digest of " + copy + "/back\\x5cslash\n"))
        << out;
    EXPECT_EQ(count(out, "aren't equal"), 1u) << out;
    EXPECT_TRUE(out.ends_with("Imported 4 of 6 listed files into " + copy + ".\n")) << out;
    EXPECT_EQ(importErr, "Digests are kept in " + copy + "/.quelby.sha256\n");
    const std::string after = test::readWholeFile(copy + "/.quelby.sha256");
    EXPECT_EQ(after, before) << after;

    // export and check never create a manifest.
    const std::string bare = tree.folder("ramfs/bare");
    tree.file("ramfs/bare/x", "x");
    EXPECT_EQ(runTool({"export", bare}),
              (Outcome{3, "",
                       "Digests are kept in " + bare + "/.quelby.sha256\nExported 0 digests from " +
                           bare + "; 1 files had none.\n"}));
    struct stat info = {};
    EXPECT_NE(::stat((bare + "/.quelby.sha256").c_str(), &info), 0);
}

} // namespace
} // namespace quelby::cli
