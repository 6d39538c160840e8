#include "engine/scrub/folder_lock.h"
#include "engine/scrub/state/scrub_state.h"
#include "engine/scrub/state/state_file.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quelby::scrub {
namespace {

namespace fs = std::filesystem;

// Opens the state or fails the test; every name it was moved aside to goes to asides.
std::unique_ptr<ScrubState> openState(const std::string& path,
                                      std::vector<std::string>* asides = nullptr)
{
    auto state = ScrubState::open(path, [&](const std::string& aside) {
        if (asides != nullptr) {
            asides->push_back(aside);
        } else {
            ADD_FAILURE() << "moved aside to " << aside;
        }
    });
    EXPECT_TRUE(state) << state.error();
    return state ? std::move(*state) : nullptr;
}

KnownFile sampleFile(std::int64_t n)
{
    return KnownFile{
        4096 + n,          1'700'000'000'123'456'789 + n, 1'700'000'001'000'000'007 + n,
        1'700'000'500 + n, LastResult::matched,           std::nullopt};
}

std::size_t knownCount(ScrubState& state, std::string_view folder)
{
    const auto files = state.knownFiles(folder);
    EXPECT_TRUE(files) << files.error();
    return files ? files->size() : 0;
}

mode_t permissions(const std::string& path)
{
    struct stat info
    {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Every name in folder that starts with prefix.
std::vector<std::string> namesStartingWith(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

TEST(ScrubState, KeepsFilesAndFiguresPerFolderByteForByteAcrossReopening)
{
    test::TempTree tree;
    const auto path = tree.path("missing/state/scrub.sqlite");
    const std::string photos = "/home/ada/Pictures";
    const std::string other = "/home/ada/Pictures\xff\n";
    const std::string odd = "caf\xe9\nline\x01.jpg";
    const KnownFile changed{
        12, 34, 56, 1'700'000'000, LastResult::differs, 1'600'000'000, Verdict::damaged};
    const KnownFile edited{
        5, 6, 7, 1'700'000'300, LastResult::differs, 1'700'000'300, Verdict::edited};
    const KnownFile untold{
        5, 6, 7, 1'700'000'300, LastResult::differs, 1'700'000'300, Verdict::unknown};
    const KnownFile unreadable{0, 0, 0, 1'700'000'100, LastResult::readFailed, 1'700'000'100};
    const KnownFile neverVerified{7, 8, 9, std::nullopt, LastResult::none, std::nullopt};
    const KnownFile noDigest{1, 2, 3, 1'700'000'200, LastResult::noDigest, std::nullopt};
    const FolderRecord photosFigures{photos, 1'700'000'900, 7, 4, 3, 2, 123'456, std::nullopt, 5};
    const FolderRecord otherFigures{other, 1'700'000'950, 30, 1, 1, 0, 99, 1'699'000'000, 0};
    {
        auto state = openState(path);
        ASSERT_NE(state, nullptr);
        ASSERT_TRUE(state->record(photos, "a.jpg", sampleFile(1), 100));
        ASSERT_TRUE(state->record(photos, odd, changed, 100));
        ASSERT_TRUE(state->record(photos, "0 unreadable", unreadable, 100));
        ASSERT_TRUE(state->record(photos, "edited.jpg", edited, 100));
        ASSERT_TRUE(state->record(photos, "untold.jpg", untold, 100));
        ASSERT_TRUE(state->record(photos, "sub/new.raw", neverVerified, 100));
        ASSERT_TRUE(state->record(photos, "sub/plain.txt", noDigest, 100));
        ASSERT_TRUE(state->record(photos, "gone.jpg", sampleFile(2), 100));
        ASSERT_TRUE(state->forget(photos, "gone.jpg", 100));
        // The same relative path in another folder is another file.
        ASSERT_TRUE(state->record(other, "a.jpg", sampleFile(3), 100));
        ASSERT_TRUE(state->record("/never/finished", "x", sampleFile(4), 100));
        // Records go many to a statement: each keeps its own values, and a
        // forget and a record again of the same path keep their order.
        for (int n = 0; n < 150; ++n) {
            ASSERT_TRUE(state->record(photos, "bulk/" + std::to_string(n), sampleFile(n), 100));
        }
        ASSERT_TRUE(state->forget(photos, "bulk/70", 100));
        ASSERT_TRUE(state->forget(photos, "bulk/71", 100));
        ASSERT_TRUE(state->record(photos, "bulk/71", sampleFile(999), 100));
        ASSERT_TRUE(state->saveFolder(otherFigures));
        ASSERT_TRUE(state->saveFolder(photosFigures));
    }
    EXPECT_EQ(permissions(tree.path("missing/state")), 0700u);
    EXPECT_EQ(permissions(path), 0600u);

    auto state = openState(path);
    ASSERT_NE(state, nullptr);
    const auto files = state->knownFiles(photos);
    ASSERT_TRUE(files) << files.error();
    KnownFiles expected{{"a.jpg", sampleFile(1)},
                        {odd, changed},
                        {"0 unreadable", unreadable},
                        {"edited.jpg", edited},
                        {"untold.jpg", untold},
                        {"sub/new.raw", neverVerified},
                        {"sub/plain.txt", noDigest}};
    for (int n = 0; n < 150; ++n) {
        expected.emplace("bulk/" + std::to_string(n), sampleFile(n == 71 ? 999 : n));
    }
    expected.erase("bulk/70");
    EXPECT_TRUE(*files == expected) << files->size() << " files";
    EXPECT_EQ(state->knownFiles(other), (KnownFiles{{"a.jpg", sampleFile(3)}}));
    EXPECT_EQ(knownCount(*state, "/home/ada"), 0u);

    // Byte order: "\xff" sorts after every ASCII byte. A folder whose run never
    // finished is listed without figures.
    const FolderRecord neverFinished{"/never/finished", std::nullopt, 30, 0, 0, 0, 0, std::nullopt};
    EXPECT_EQ(state->folders(),
              (std::vector<FolderRecord>{photosFigures, otherFigures, neverFinished}));
    EXPECT_EQ(state->openProblems(photos),
              (std::vector<OpenProblem>{
                  {"0 unreadable", LastResult::readFailed, 1'700'000'100, std::nullopt},
                  {odd, LastResult::differs, 1'600'000'000, Verdict::damaged},
                  {"edited.jpg", LastResult::differs, 1'700'000'300, Verdict::edited},
                  {"untold.jpg", LastResult::differs, 1'700'000'300, Verdict::unknown}}));

    // Figures are replaced, not added to.
    FolderRecord again = photosFigures;
    again.problems = 0;
    again.notifiedAt = 1'700'001'000;
    ASSERT_TRUE(state->saveFolder(again));
    EXPECT_EQ(state->folders(), (std::vector<FolderRecord>{again, otherFigures, neverFinished}));

    // A state of the version before verdicts opens with every file and figure
    // it held; its problems have no verdict until a scrub finds them again.
    state.reset();
    sqlite3* older = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &older), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(older, "ALTER TABLE files DROP COLUMN verdict; PRAGMA user_version = 3",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(older);
    state = openState(path);
    ASSERT_NE(state, nullptr);
    const auto withoutVerdicts = [](KnownFile file) {
        file.verdict.reset();
        return file;
    };
    for (auto& [name, file] : expected) {
        file = withoutVerdicts(file);
    }
    EXPECT_TRUE(state->knownFiles(photos) == expected);
    EXPECT_EQ(state->folders(), (std::vector<FolderRecord>{again, otherFigures, neverFinished}));
    ASSERT_TRUE(state->record(photos, "edited.jpg", edited, 200));
    EXPECT_EQ(state->openProblems(photos)->at(2).verdict, Verdict::edited);
}

// The counts the Folders view shows come from SQL; they must be the ones a
// walk over knownFiles with verifiedWithin gives, as status counts them.
TEST(ScrubState, CountsEachFolderAsStatusDoesFromAnIndexAnOlderStateGainsOnOpening)
{
    test::TempTree tree;
    auto state = openState(tree.path("scrub.sqlite"));
    ASSERT_TRUE(state);
    const Seconds now = 1'800'000'000;
    const Seconds day = 86400;
    struct Row
    {
        const char* path;
        std::optional<Seconds> verifiedAt;
        LastResult result;
    };
    const Row week[] = {
        {"fresh.jpg", now - 7 * day, LastResult::matched},
        {"edge.jpg", now - 7 * day, LastResult::matched},
        {"old.jpg", now - 7 * day - 1, LastResult::matched},
        {"never.jpg", std::nullopt, LastResult::none},
        {"bad.jpg", now - day, LastResult::differs},
        {"unread.jpg", now - 30 * day, LastResult::readFailed},
        {"plain.txt", now, LastResult::noDigest},
    };
    for (const Row& row : week) {
        KnownFile file = sampleFile(1);
        file.verifiedAt = row.verifiedAt;
        file.result = row.result;
        ASSERT_TRUE(state->record("/pictures", row.path, file, now));
    }
    ASSERT_TRUE(state->record("/music", "a.flac", sampleFile(2), now));
    ASSERT_TRUE(state->saveFolder(FolderRecord{"/pictures", now, 7, 0, 0, 0, 0, std::nullopt}));
    ASSERT_TRUE(state->saveFolder(FolderRecord{"/empty", now, 30, 0, 0, 0, 0, std::nullopt}));
    // Files but no finished run: not a folder status lists.
    ASSERT_TRUE(state->commit());

    const auto counts = state->folderCounts(now);
    ASSERT_TRUE(counts) << counts.error();
    const std::vector<FolderCounts> expected{{"/empty", 0, 0, 0, 0}, {"/pictures", 6, 3, 2, 1}};
    EXPECT_EQ(*counts, expected);
    auto folders = state->folders();
    ASSERT_TRUE(folders);
    std::erase_if(*folders, [](const FolderRecord& record) { return !record.lastRun; });
    ASSERT_EQ(folders->size(), counts->size());
    for (std::size_t index = 0; index < counts->size(); ++index) {
        EXPECT_EQ((*folders)[index].folder, (*counts)[index].folder);
    }

    // A state of the first version, which had no index of results, no count of
    // files without a digest and no verdicts, is brought up to date on opening,
    // its files kept.
    state.reset();
    sqlite3* older = nullptr;
    ASSERT_EQ(sqlite3_open(tree.path("scrub.sqlite").c_str(), &older), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(older,
                           "DROP INDEX files_by_result; ALTER TABLE folders DROP COLUMN "
                           "without_digest; ALTER TABLE files DROP COLUMN verdict; "
                           "PRAGMA user_version = 1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(older);
    state = openState(tree.path("scrub.sqlite"));
    ASSERT_TRUE(state);
    EXPECT_EQ(state->folderCounts(now), counts);
    ASSERT_TRUE(state->saveFolder(FolderRecord{"/pictures", now, 7, 0, 0, 0, 0, std::nullopt, 1}));
    EXPECT_EQ(std::ranges::count(*state->folders(), 1, &FolderRecord::withoutDigest), 1);
    state.reset();
    ASSERT_EQ(sqlite3_open(tree.path("scrub.sqlite").c_str(), &older), SQLITE_OK);
    int indexes = 0;
    ASSERT_EQ(sqlite3_exec(
                  older, "SELECT 1 FROM sqlite_master WHERE name = 'files_by_result'",
                  [](void* found, int, char**, char**) { return ++*static_cast<int*>(found), 0; },
                  &indexes, nullptr),
              SQLITE_OK);
    sqlite3_close(older);
    EXPECT_EQ(indexes, 1);
}

TEST(ScrubState, CommitsABatchAtAThousandChangesOrASecondAndAKillLosesAtMostTheLastTwo)
{
    test::TempTree tree;
    const auto path = tree.path("scrub.sqlite");
    auto writer = openState(path);
    auto reader = openState(path);
    ASSERT_TRUE(writer && reader);
    // A batch handed over is written on a thread of its own; the reader sees
    // it once that thread is done, which the next batch handed over waits for.
    const auto seenWithin = [&](std::size_t count) {
        for (int tries = 0; tries < 500 && knownCount(*reader, "/f") != count; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return knownCount(*reader, "/f");
    };
    for (int i = 0; i < 999; ++i) {
        ASSERT_TRUE(writer->record("/f", "file" + std::to_string(i), sampleFile(i), 1000));
    }
    EXPECT_EQ(knownCount(*reader, "/f"), 0u);
    ASSERT_TRUE(writer->record("/f", "file999", sampleFile(999), 1000));
    EXPECT_EQ(seenWithin(1000), 1000u);

    ASSERT_TRUE(writer->record("/f", "late", sampleFile(1), 2000));
    ASSERT_TRUE(writer->forget("/f", "file0", 2000));
    EXPECT_EQ(knownCount(*reader, "/f"), 1000u);
    ASSERT_TRUE(writer->record("/f", "later", sampleFile(2), 2001));
    EXPECT_EQ(seenWithin(1001), 1001u);
    ASSERT_TRUE(writer->record("/f", "last", sampleFile(3), 2001));
    EXPECT_EQ(knownCount(*reader, "/f"), 1001u);
    ASSERT_TRUE(writer->commit());
    EXPECT_EQ(knownCount(*reader, "/f"), 1002u);
    // Closing the state commits what is still queued.
    ASSERT_TRUE(writer->record("/f", "at close", sampleFile(4), 2001));
    writer.reset();
    EXPECT_EQ(knownCount(*reader, "/f"), 1003u);

    // A run killed after two full batches and part of the next keeps the
    // first: handing over the second waited for it.
    const auto killedPath = tree.path("killed.sqlite");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto state = ScrubState::open(killedPath, [](const std::string&) {});
        for (int i = 0; state && i < 2005; ++i) {
            if (!(*state)->record("/f", "file" + std::to_string(i), sampleFile(i), 5000)) {
                ::_exit(3);
            }
        }
        ::raise(SIGKILL);
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    auto reopened = openState(killedPath);
    ASSERT_NE(reopened, nullptr);
    const auto files = reopened->knownFiles("/f");
    ASSERT_TRUE(files) << files.error();
    EXPECT_TRUE(files->size() == 1000u || files->size() == 2000u) << files->size();
    EXPECT_EQ(files->count("file999"), 1u);
    EXPECT_EQ(files->count("file2000"), 0u);
}

TEST(ScrubState, ADamagedStateIsMovedAsideOnceAndAFreshOneStarts)
{
    test::TempTree tree;
    const std::string junk(8000, 'q');
    // A real state whose first page, past the file header, is overwritten.
    const auto corrupt = [&](const std::string& path) {
        {
            auto state = openState(path);
            ASSERT_NE(state, nullptr);
            ASSERT_TRUE(state->record("/f", "old", sampleFile(1), 1));
        }
        auto bytes = test::readWholeFile(path);
        ASSERT_GE(bytes.size(), 4096u);
        bytes.replace(100, 3996, std::string(3996, '\x5a'));
        test::writeWholeFile(path, bytes);
    };
    const auto notADatabase = [&](const std::string& path) { test::writeWholeFile(path, junk); };
    for (const auto& [name, damage] :
         {std::pair<std::string, std::function<void(const std::string&)>>{"corrupt", corrupt},
          {"not-a-database", notADatabase}}) {
        SCOPED_TRACE(name);
        const auto path = tree.path(name + ".sqlite");
        damage(path);
        const auto damaged = test::readWholeFile(path);
        std::vector<std::string> asides;
        {
            auto state = openState(path, &asides);
            ASSERT_NE(state, nullptr);
            ASSERT_EQ(asides.size(), 1u);
            EXPECT_TRUE(std::regex_match(
                asides[0], std::regex(std::regex_replace(path, std::regex("[.]"), "[.]") +
                                      "[.]corrupt-20[0-9]{6}T[0-9]{6}Z")))
                << asides[0];
            EXPECT_EQ(test::readWholeFile(asides[0]), damaged);
            EXPECT_EQ(knownCount(*state, "/f"), 0u);
            ASSERT_TRUE(state->record("/f", "new", sampleFile(2), 2));
        }
        auto reopened = openState(path);
        ASSERT_NE(reopened, nullptr);
        EXPECT_EQ(reopened->knownFiles("/f"), (KnownFiles{{"new", sampleFile(2)}}));
    }
}

TEST(ScrubState, AStateThatCannotBeOpenedIsAnErrorAndIsLeftAlone)
{
    test::TempTree tree;
    const auto never = [](const std::string& aside) { ADD_FAILURE() << "moved to " << aside; };

    const auto folderPath = tree.path("folder.sqlite");
    tree.file("folder.sqlite/inside", "kept");
    const auto folder = ScrubState::open(folderPath, never);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error(),
              "the scrub state " + folderPath + " could not be opened: " + std::strerror(EISDIR));
    EXPECT_EQ(test::readWholeFile(tree.path("folder.sqlite/inside")), "kept");

    const auto readOnly = tree.folder("read-only");
    const auto existing = readOnly + "/scrub.sqlite";
    {
        auto state = openState(existing);
        ASSERT_NE(state, nullptr);
        ASSERT_TRUE(state->record("/f", "kept", sampleFile(1), 1));
    }
    // One the user may write, in a folder where SQLite cannot make its log.
    const auto writable = readOnly + "/writable.sqlite";
    const auto before = test::readWholeFile(existing);
    test::writeWholeFile(writable, before);
    ASSERT_EQ(::chmod(writable.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(existing.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);
    const auto outcome = test::runUnprivileged([&] {
        int failures = 0;
        for (const auto& [path, reason] :
             {std::pair<std::string, std::string>{existing, std::strerror(EACCES)},
              {readOnly + "/new.sqlite", std::strerror(EACCES)},
              {writable, sqlite3_errstr(SQLITE_READONLY)}}) {
            const auto state = ScrubState::open(path, never);
            const auto expected = "the scrub state " + path + " could not be opened: " + reason;
            if (state || state.error() != expected) {
                ADD_FAILURE() << (state ? "opened " + path : state.error());
                ++failures;
            }
        }
        return failures;
    });
    ::chmod(readOnly.c_str(), 0755);
    if (!outcome) {
        GTEST_SKIP() << "privileges cannot be dropped here";
    }
    EXPECT_EQ(*outcome, 0);
    EXPECT_EQ(test::readWholeFile(existing), before);
    EXPECT_EQ(test::readWholeFile(writable), before);
    auto names = namesStartingWith(readOnly, "");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"scrub.sqlite", "writable.sqlite"}));
}

TEST(ScrubState, AWriterWaitsForAnotherTransactionWhileReadersGoOn)
{
    test::TempTree tree;
    const auto path = tree.path("scrub.sqlite");
    auto first = openState(path);
    auto second = openState(path);
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(first->record("/a", "one", sampleFile(1), 1));
    ASSERT_TRUE(first->commit());

    // Another scrub's batch, held open far longer than any real one.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(knownCount(*first, "/a"), 1u);
    ASSERT_TRUE(second->record("/b", "two", sampleFile(2), 1));
    const auto committed = second->commit();
    release.join();
    sqlite3_close(holder);
    EXPECT_TRUE(committed) << committed.error();
    EXPECT_EQ(knownCount(*first, "/b"), 1u);
}

TEST(ScrubState, DefaultPathIsUnderXdgStateHomeOnlyWhenItIsAbsolute)
{
    const struct
    {
        const char* stateHome;
        const char* home;
        std::optional<std::string> expected;
    } cases[] = {
        {"/xdg/state", "/home/ada", "/xdg/state/quelby/scrub.sqlite"},
        {"relative/state", "/home/ada", "/home/ada/.local/state/quelby/scrub.sqlite"},
        {nullptr, "/home/ada", "/home/ada/.local/state/quelby/scrub.sqlite"},
        {"", "/home/ada", "/home/ada/.local/state/quelby/scrub.sqlite"},
        {nullptr, nullptr, std::nullopt},
    };
    const auto set = [](const char* name, const char* value) {
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    };
    const char* savedStateHome = std::getenv("XDG_STATE_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::optional<std::string> keptStateHome =
        savedStateHome ? std::optional<std::string>(savedStateHome) : std::nullopt;
    const std::optional<std::string> keptHome =
        savedHome ? std::optional<std::string>(savedHome) : std::nullopt;
    for (const auto& each : cases) {
        set("XDG_STATE_HOME", each.stateHome);
        set("HOME", each.home);
        EXPECT_EQ(defaultStatePath(), each.expected) << (each.stateHome ? each.stateHome : "unset");
    }
    set("XDG_STATE_HOME", keptStateHome ? keptStateHome->c_str() : nullptr);
    set("HOME", keptHome ? keptHome->c_str() : nullptr);
}

TEST(FolderLock, IsHeldUntilItsHolderGoesAndOnlyForItsOwnFolder)
{
    test::TempTree tree;
    const auto statePath = tree.path("new/state/scrub.sqlite");
    auto first = FolderLock::take(statePath, "/home/ada/Pictures");
    ASSERT_TRUE(first) << first.error().description;
    EXPECT_EQ(permissions(tree.path("new/state")), 0700u);
    const auto locks = namesStartingWith(tree.path("new/state"), "scrub-");
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_TRUE(std::regex_match(locks[0], std::regex("scrub-[0-9a-f]{16}[.]lock"))) << locks[0];
    EXPECT_EQ(permissions(tree.path("new/state/" + locks[0])), 0600u);

    const auto again = FolderLock::take(statePath, "/home/ada/Pictures");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().failure, FolderLock::Failure::held);
    EXPECT_TRUE(FolderLock::take(statePath, "/home/ada/Music"));

    {
        const FolderLock moved = std::move(*first);
        EXPECT_FALSE(FolderLock::take(statePath, "/home/ada/Pictures"));
    }
    EXPECT_TRUE(FolderLock::take(statePath, "/home/ada/Pictures"));

    const auto underAFile = tree.file("plain") + "/scrub.sqlite";
    const auto failed = FolderLock::take(underAFile, "/home/ada/Pictures");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().failure, FolderLock::Failure::other);
    EXPECT_NE(failed.error().description.find(std::strerror(ENOTDIR)), std::string::npos)
        << failed.error().description;
}

} // namespace
} // namespace quelby::scrub
