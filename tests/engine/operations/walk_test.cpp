#include "engine/evidence/evidence_choice.h"
#include "engine/evidence/manifest_store.h"
#include "engine/operations/walk.h"
#include "engine/read/digest_pool.h"
#include "engine/run_fixture.h"
#include "engine/sum_tools.h"
#include "engine/tree/listing.h"
#include "support/unprivileged.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {
namespace {

using test::inFolder;
using test::optionsFor;
using test::runReport;

TEST(Walk, NormalisesTheFolderWithoutResolvingLinks)
{
    EXPECT_EQ(normalisedFolder("a//b/./", "/cwd"), "/cwd/a/b");
    EXPECT_EQ(normalisedFolder(".", "/cwd/"), "/cwd");
    EXPECT_EQ(normalisedFolder("/", "/cwd"), "/");
    EXPECT_EQ(normalisedFolder("//x/../y", "/cwd"), "/x/../y");
}

// Links to files inside the folder are followed; Check reads a link that leads
// outside, Tag and Retag refuse it and leave its target as it was. Links to
// folders are never walked: a wrong walk through the link to the parent would
// loop, so every run stops after far more files than the tree holds.
TEST(Walk, VisitsFilesInByteOrderFollowsOnlyFileLinksAndKeepsEveryLineOneLine)
{
    test::TempTree tree;
    const auto f = tree.folder("root");
    for (const char* name :
         {"b/z", "a", ".hidden", "B", "b/a/deep", "\xc3\xa9t\xc3\xa9", "evil\n✅ Digests for /fake",
          "esc\x1b[2K\xe2\x80\xaeright", "raw\xff", "del\x7f"}) {
        tree.file(std::string("root/") + name, "x");
    }
    tree.folder("root/empty/nested");
    const auto target = tree.file("outside/file", "x");
    const std::string staleDigest(digestOfBytes("older").view());
    test::storeAttribute(target, kDigestAttributeName, staleDigest);
    test::storeAttribute(target, kTimeAttributeName, "2020-01-01T00_00_00Z");
    tree.file("outside/inner/file", "y");
    for (const auto& [link, to] : {std::pair<std::string, std::string>{"to-file", target},
                                   {"to-folder", tree.path("outside")},
                                   {"to-parent", ".."},
                                   {"dangling", "missing"},
                                   {"to-device", "/dev/null"},
                                   {"to-proc", "/proc/version"},
                                   {"to-inside-abs", tree.path("root/a")},
                                   {"to-inside-rel", "b/../b/z"}}) {
        ASSERT_EQ(::symlink(to.c_str(), (f + "/" + link).c_str()), 0) << link;
    }
    ASSERT_EQ(::mkfifo(tree.path("root/pipe").c_str(), 0644), 0);
    struct stat before
    {};
    ASSERT_EQ(::stat(target.c_str(), &before), 0);

    const std::int64_t bound = 100;
    const std::string dangling =
        "❌ Couldn't read {F}/dangling: " + std::string(std::strerror(ENOENT)) + "\n";
    const std::string outside = "❌ Couldn't tag {F}/to-file: the link leads outside the folder\n";
    RunState state;
    EXPECT_EQ(runReport(optionsFor(Operation::check, f, true), &state, bound),
              inFolder("⚠️ No digest found for {F}/.hidden @ ??\n"
                       "⚠️ No digest found for {F}/B @ ??\n"
                       "⚠️ No digest found for {F}/a @ ??\n"
                       "⚠️ No digest found for {F}/b/a/deep @ ??\n"
                       "⚠️ No digest found for {F}/b/z @ ??\n" +
                           dangling +
                           "⚠️ No digest found for {F}/del\\x7f @ ??\n"
                           "⚠️ No digest found for {F}/esc\\x1b[2K\\xe2\\x80\\xaeright @ ??\n"
                           "⚠️ No digest found for {F}/evil\\x0a✅ Digests for /fake @ ??\n"
                           "⚠️ No digest found for {F}/raw\\xff @ ??\n"
                           "❌ Digests for {F}/to-file @ 2020-01-01T00_00_00Z aren't equal.\n"
                           "⚠️ No digest found for {F}/to-inside-abs @ ??\n"
                           "⚠️ No digest found for {F}/to-inside-rel @ ??\n"
                           "⚠️ No digest found for {F}/\xc3\xa9t\xc3\xa9 @ ??\n"
                           "Checked a total of 17 files in {F}\n\t0 matched digest correctly\n"
                           "\t1 didn't match their digest\n\t12 had no digest.\n"
                           "Buffer size 4 giving actual buffer 4096",
                       f));
    EXPECT_EQ(state.failureCount, 2);
    EXPECT_EQ(runReport(optionsFor(Operation::tag, f, false, true), &state, bound),
              inFolder(dangling + outside + "Tagged a total of 17 files in {F} with 2 errors.", f));
    // Both links inside were read, and their targets tagged: all twelve match.
    EXPECT_EQ(runReport(optionsFor(Operation::retag, f, false, true), &state, bound),
              inFolder(dangling + outside +
                           "Retagged a total of 17 files in {F}\t12 matched digest correctly\n"
                           "\t0 were retagged\n\t0 were tagged for the first time.",
                       f));
    EXPECT_EQ(test::storedAttribute(target, kDigestAttributeName), staleDigest);
    EXPECT_EQ(test::storedAttribute(target, kTimeAttributeName), "2020-01-01T00_00_00Z");
    struct stat after
    {};
    ASSERT_EQ(::stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

// Disk order sorts a folder's names with the inodes the listing gave them: each
// must stay with its own name, whatever order the folder lists them in.
TEST(Walk, ListsNamesInByteOrderEachWithItsOwnInode)
{
    test::TempTree tree;
    for (int n = 0; n < 600; ++n) {
        // Created in an order that has nothing to do with the names' own.
        tree.file("f" + std::to_string((n * 337) % 600), "");
    }
    const FileDescriptor folder(::open(tree.path("").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const bool keepsInodes : {false, true}) {
        const auto listing = Listing::of(folder, keepsInodes);
        ASSERT_TRUE(listing);
        ASSERT_EQ(listing->size(), 600u);
        for (std::size_t i = 0; i < listing->size(); ++i) {
            const auto name = (*listing)[i];
            if (i > 0) {
                EXPECT_LT((*listing)[i - 1].name, name.name);
            }
            struct stat info{};
            ASSERT_EQ(::fstatat(folder.get(), std::string(name.name).c_str(), &info,
                                AT_SYMLINK_NOFOLLOW),
                      0);
            EXPECT_EQ(name.inode, keepsInodes ? info.st_ino : 0) << name.name;
        }
    }
}

TEST(Walk, ReportsFoldersItCannotListAndGoesOnWithAnyBufferSize)
{
    test::TempTree tree;
    const auto f = tree.folder("root");
    tree.file("root/a", "a");
    tree.file("root/closed/inside", "hidden");
    ASSERT_EQ(::chmod(tree.path("root/closed").c_str(), 0), 0);
    const std::string expected =
        inFolder("❌ Couldn't read {F}/closed: " + std::string(std::strerror(EACCES)) +
                     "\nChecked a total of 1 files in {F}\t0 matched digest correctly\n"
                     "\t0 didn't match their digest\n\t1 had no digest.",
                 f);
    const auto status = test::runUnprivileged(
        [&] { return runReport(optionsFor(Operation::check, f)) == expected ? 0 : 1; });
    if (!status) {
        GTEST_SKIP() << "cannot drop privileges to user 65534 here";
    }
    EXPECT_EQ(*status, 0);

    // A buffer far beyond the run's cap is read in smaller pieces, with the same report.
    auto hugeBuffer = optionsFor(Operation::check, f, true);
    hugeBuffer.realBufferSize = std::int64_t{1} << 62;
    auto usualBuffer = hugeBuffer;
    usualBuffer.realBufferSize = 1 << 20;
    const std::string huge = runReport(hugeBuffer);
    const std::string usual = runReport(usualBuffer);
    EXPECT_EQ(huge.substr(0, huge.rfind(" giving actual buffer ")),
              usual.substr(0, usual.rfind(" giving actual buffer ")));
    EXPECT_EQ(huge.substr(0, huge.find("Checked")).find("\xe2\x9d\x8c"), std::string::npos) << huge;
    const auto gone = tree.path("gone");
    EXPECT_EQ(runReport(optionsFor(Operation::tag, gone)),
              inFolder("❌ Couldn't read {F}: " + std::string(std::strerror(ENOENT)) +
                           "\nTagged a total of 0 files in {F} with 1 errors.",
                       gone));
}

TEST(Walk, StopsBetweenFilesAndLeavesTheRestUntouched)
{
    test::TempTree tree;
    const auto f = tree.folder("root");
    for (char name = 'a'; name <= 'j'; ++name) {
        tree.file(std::string("root/") + name, std::string(100000, name));
    }
    test::RecordingObserver observer;
    observer.stopAfterFiles = 3;
    const RunState state = walkFolder(optionsFor(Operation::tag, f, false, true), observer);
    EXPECT_TRUE(state.stopped);
    EXPECT_EQ(state.totalCount, 3);
    for (char name = 'a'; name <= 'j'; ++name) {
        const auto path = tree.path(std::string("root/") + name);
        const auto digest = test::storedAttribute(path, kDigestAttributeName);
        EXPECT_EQ(digest.has_value(), name <= 'c') << name;
        EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName).has_value(), digest.has_value());
        if (digest) {
            EXPECT_EQ(*digest, std::string(digestOfBytes(test::readWholeFile(path)).view()));
        }
    }
}

// A run of one file (a problem retagged from the app) touches that file alone and says nothing
// of the others, whether digests are kept in attributes or in a manifest, whose other entries,
// even of a file that is gone, stay as they were.
TEST(Walk, RunsOnOneFileAloneAndLeavesEveryOtherDigestAsItWas)
{
    for (const StoreChoice choice : {StoreChoice::attributes, StoreChoice::manifest}) {
        test::TempTree tree;
        const std::string folder = tree.folder("f");
        for (const char* name : {"f/a/one", "f/a/two", "f/b/three", "f/gone"}) {
            tree.file(name, name);
        }
        const auto run = [&](Operation operation, std::optional<std::string> only) {
            RunOptions options = optionsFor(operation, folder, true);
            options.onlyFile = std::move(only);
            auto chosen = chooseEvidenceStore(options, choice, operation != Operation::check);
            EXPECT_TRUE(chosen.has_value());
            options.evidence = chosen->store;
            RunState state;
            const std::string report = runReport(options, &state);
            EXPECT_TRUE(options.evidence->finish().has_value());
            return std::pair{report, state};
        };
        run(Operation::tag, std::nullopt);
        ASSERT_EQ(::unlink(tree.path("f/gone").c_str()), 0);
        test::writeWholeFile(tree.path("f/a/two"), "changed");
        test::writeWholeFile(tree.path("f/b/three"), "changed");

        const auto [retagged, state] = run(Operation::retag, "a/two");
        EXPECT_EQ(state.totalCount, 1);
        EXPECT_EQ(state.retaggedCount, 1);
        EXPECT_EQ(state.missingCount, 0);
        EXPECT_NE(retagged.find(folder + "/a/two"), std::string::npos) << retagged;
        for (const char* other : {"/a/one", "/b/three", "/gone"}) {
            EXPECT_EQ(retagged.find(folder + other), std::string::npos) << other << retagged;
        }

        const auto [checked, after] = run(Operation::check, std::nullopt);
        EXPECT_EQ(after.matchedCount, 2) << checked;
        EXPECT_EQ(after.mismatchedCount, 1) << checked;
        EXPECT_EQ(after.missingCount, choice == StoreChoice::manifest ? 1 : 0) << checked;
    }
}

// Hands every call on to the store it wraps, and keeps the largest batch of
// gone files that store gave.
class BatchCountingStore : public EvidenceStore
{
public:
    explicit BatchCountingStore(std::shared_ptr<EvidenceStore> inner) : inner_(std::move(inner)) {}
    std::size_t largestBatch = 0;

    void folderEntered(const std::string& path, int folderFd) override
    {
        inner_->folderEntered(path, folderFd);
    }
    void folderHasOwnManifest(const std::string& folder) override
    {
        inner_->folderHasOwnManifest(folder);
    }
    void lookUp(const std::string& path, EvidenceSlot& slot) override
    {
        inner_->lookUp(path, slot);
    }
    std::expected<std::optional<Bytes>, PosixError> read(const StoredFile& file,
                                                         EvidenceKind kind) override
    {
        return inner_->read(file, kind);
    }
    std::expected<void, PosixError> write(const StoredFile& file, EvidenceKind kind,
                                          std::string_view value) override
    {
        return inner_->write(file, kind, value);
    }
    std::expected<void, PosixError> remove(const StoredFile& file, EvidenceKind kind) override
    {
        return inner_->remove(file, kind);
    }
    std::vector<std::string> goneBefore(const std::string* path) override
    {
        auto gone = inner_->goneBefore(path);
        largestBatch = std::max(largestBatch, gone.size());
        return gone;
    }
    void apply(const EntryOutcome& outcome) override { inner_->apply(outcome); }
    std::expected<void, std::string> finish() override { return inner_->finish(); }
    const std::string* manifest() const override { return inner_->manifest(); }

private:
    std::shared_ptr<EvidenceStore> inner_;
};

// A manifest whose files are all gone is never in memory whole: its entries
// come out a bounded batch at a time, every one of them, in walk order.
TEST(Walk, ReportsTheFilesAManifestListsThatAreGoneInBoundedBatches)
{
    test::TempTree tree;
    const std::string folder = tree.folder("f");
    tree.file("f/m/here", "here");
    constexpr int kGone = 5000;
    std::string manifest = "# Quelby manifest 1\n";
    std::string missing;
    for (int i = 0; i < kGone; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%c/%05d", i < kGone / 2 ? 'a' : 'z', i);
        manifest += std::string(64, '0') + "  " + name + "\n";
        missing += "❌ Missing " + folder + "/" + name + "\n";
        if (i == kGone / 2 - 1) {
            manifest += lowerHex(test::sha256Of("here")) + "  m/here\n";
        }
    }
    test::writeWholeFile(tree.path("f/.quelby.sha256"), manifest);
    for (const std::size_t jobs : {std::size_t{1}, std::size_t{2}}) {
        SCOPED_TRACE(jobs);
        RunOptions options = optionsFor(Operation::check, folder);
        options.jobs = jobs;
        auto chosen = chooseEvidenceStore(options, StoreChoice::manifest, false);
        ASSERT_TRUE(chosen.has_value()) << chosen.error().reason;
        const auto counting = std::make_shared<BatchCountingStore>(chosen->store);
        options.evidence = counting;
        const auto pool = poolForOneWalk(jobs);
        RunState state;
        const std::string report = runReport(options, &state, -1, pool.get());
        EXPECT_EQ(report.substr(0, report.find("Checked")), missing);
        EXPECT_EQ(state.missingCount, kGone);
        EXPECT_EQ(state.matchedCount, 1);
        EXPECT_GT(counting->largestBatch, 0U);
        EXPECT_LE(counting->largestBatch, ManifestStore::kGoneBatch);
    }
}

} // namespace
} // namespace quelby
