#include "engine/read/digest_pool.h"
#include "engine/run_fixture.h"
#include "random_tree.h"
#include "support/sanitized.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <atomic>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <numeric>
#include <openssl/evp.h>
#include <optional>
#include <random>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby {
namespace {

// Short reads (fault 0), EINTR, or EIO part way or on the one read past the end
// that finds the end. Check starts from the true digest, Tag and Retag from an
// older one; a read failure must keep that digest and its stamp, and is never
// called a difference.
TEST(Faults, UnderShortReadsEintrAndEioARunFindsTheTrueDigestOrReportsAReadFailure)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const std::string old(digestOfBytes("older").view()), stamp = "2020-01-02T03_04_05Z";
    for (const std::int64_t bufferSize : {1, 2, 3, 7, 4095, 4096, 4097, 65536, 1048576, 3000000}) {
        const auto buffer = static_cast<std::size_t>(bufferSize);
        for (const auto size : {buffer - 1, buffer, buffer + 1}) {
            std::string contents(size, '\0');
            std::iota(contents.begin(), contents.end(), '\1');
            const auto path = tree.file("f/file", contents);
            const std::string truth(digestOfBytes(contents).view());
            for (const auto& [fault, failAt] :
                 {std::pair{0, size}, {EINTR, size}, {EIO, size / 2}, {EIO, size}}) {
                for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
                    SCOPED_TRACE(testing::Message() << buffer << " " << size << " " << fault << " "
                                                    << failAt << " " << int(operation));
                    const std::string before = operation == Operation::check ? truth : old;
                    test::storeAttribute(path, kDigestAttributeName, before);
                    test::storeAttribute(path, kTimeAttributeName, stamp);
                    auto options = test::optionsFor(operation, folder, false, true);
                    options.realBufferSize = bufferSize;
                    test::ScriptedSystemCalls calls;
                    std::size_t reads = 0;
                    calls.onRead = [&](int fd, void* to, std::size_t count) -> ssize_t {
                        const auto at = static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR));
                        if ((fault == EINTR && ++reads % 2 == 1) ||
                            (fault == EIO && at >= failAt)) {
                            return (errno = fault), -1;
                        }
                        const auto shorter = 1 + ++reads % count;
                        return calls.realRead(fd, to, fault == 0 ? shorter : count);
                    };
                    RunState state;
                    const std::string report = test::runReport(options, &state);
                    EXPECT_EQ(state.mismatchedCount, 0);
                    EXPECT_EQ(state.failureCount, fault == EIO ? 1 : 0) << report;
                    if (fault != EIO) {
                        EXPECT_EQ(state.matchedCount, operation == Operation::check ? 1 : 0);
                        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), truth);
                    } else {
                        EXPECT_EQ(report.substr(0, report.find('\n') + 1),
                                  "❌ Couldn't read " + path + ": " + std::strerror(EIO) + "\n");
                        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), before);
                        EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName), stamp);
                    }
                }
            }
        }
    }
}

// Where the kernel stamps changes with a coarse clock, a change within the
// same tick would leave the change time as it was.
void waitForTheClockToPass(const std::string& path)
{
    struct stat info
    {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    for (timespec now{};;) {
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec > info.st_ctim.tv_sec ||
            (now.tv_sec == info.st_ctim.tv_sec && now.tv_nsec > info.st_ctim.tv_nsec)) {
            return;
        }
        ::usleep(1000);
    }
}

// A file that changes while it is read gets no digest of a state that never was.
TEST(Faults, AFileChangedWhileReadIsAReadFailureAndGetsNoAttribute)
{
    const std::function<void(const char*)> changes[] = {
        [](const char* path) { (void)::truncate(path, 5000); },
        // The same size: the change shows in the modification time.
        [](const char* path) { test::writeWholeFile(path, std::string(10000, 'b')); },
        // The same size and the modification time put back: only the change time tells.
        [](const char* path) {
            test::writeWholeFile(path, std::string(10000, 'c'));
            const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            (void)::utimensat(AT_FDCWD, path, old, 0);
        },
    };
    for (const auto& change : changes) {
        for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
            test::TempTree tree;
            const auto f = tree.folder("f");
            const auto victim = tree.file("f/victim", std::string(10000, 'a'));
            const auto other = tree.file("f/z-other", "other");
            const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, victim.c_str(), old, 0), 0);
            waitForTheClockToPass(victim);
            test::ScriptedSystemCalls calls;
            int reads = 0;
            calls.onRead = [&](int fd, void* buffer, std::size_t size) {
                const ssize_t count = calls.realRead(fd, buffer, size);
                if (++reads == 1) {
                    change(victim.c_str());
                }
                return count;
            };
            RunState state;
            const auto report =
                test::runReport(test::optionsFor(operation, f, false, true), &state);
            EXPECT_TRUE(report.starts_with("❌ Couldn't read " + victim + ": " +
                                           std::string(kFileChangedWhileRead) + "\n"))
                << report;
            EXPECT_EQ(state.failureCount, 1) << report;
            EXPECT_EQ(state.totalCount, 2) << report;
            EXPECT_EQ(test::storedAttribute(victim, kDigestAttributeName), std::nullopt);
            EXPECT_EQ(test::storedAttribute(other, kDigestAttributeName).has_value(),
                      operation != Operation::check);
        }
    }
}

// A process's state letter in /proc: 'S' while it sleeps and can be woken.
char processState(pid_t process)
{
    const std::string stat = test::readWholeFile("/proc/" + std::to_string(process) + "/stat");
    const auto end = stat.rfind(") ");
    return end == std::string::npos ? '?' : stat[end + 2];
}

// A writer blocked opening a FIFO until some reader opens it; none if fork fails.
// It does nothing else that sleeps, and once a reader has come it never sleeps
// that way again: 'S' means it is still waiting.
std::optional<pid_t> blockedWriter(const std::string& fifo)
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC) < 0 ? 1 : 0);
    }
    for (int tries = 0; child > 0 && tries < 5000; ++tries) {
        if (processState(child) == 'S') {
            return child;
        }
        ::usleep(1000);
    }
    return std::nullopt;
}

// Between the listing and the open, the file is replaced. Whatever takes its
// place, only a regular file is ever opened for reading, let alone read: a
// FIFO put there itself is opened without blocking and closed unread.
TEST(Faults, AnEntrySwappedBeforeItsOpenIsReadOnlyWhenItIsARegularFile)
{
    const struct
    {
        const char* replacement;
        bool fifoItself;
        const char* linkTo; // relative to the temporary tree, or absolute
        bool read;
    } cases[] = {
        {"a link to a FIFO with a blocked writer", false, "fifo", false},
        {"a link to a device that never ends", false, "/dev/zero", false},
        {"a FIFO", true, nullptr, false},
        {"a link to a regular file inside", false, "f/z-other", true},
    };
    // One file at a time, then with the visits on a pool's workers.
    DigestPool pool(1);
    for (int run = 0; run < 2 * std::ssize(cases); ++run) {
        const auto& c = cases[run / 2];
        const int jobs = 1 + run % 2;
        SCOPED_TRACE(std::string(c.replacement) + ", jobs " + std::to_string(jobs));
        test::TempTree tree;
        const auto f = tree.folder("f");
        const auto victim = tree.file("f/victim", "victim");
        tree.file("f/z-other", "other");
        const auto fifo = tree.path("fifo"), spare = tree.path("spare");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        if (c.fifoItself) {
            ASSERT_EQ(::mkfifo(spare.c_str(), 0644), 0);
        } else {
            const std::string to = c.linkTo[0] == '/' ? c.linkTo : tree.path(c.linkTo);
            ASSERT_EQ(::symlink(to.c_str(), spare.c_str()), 0);
        }
        const auto writer = blockedWriter(c.fifoItself ? spare : fifo);
        ASSERT_TRUE(writer) << "no writer blocked on the FIFO";

        test::ScriptedSystemCalls calls;
        std::atomic<bool> swapped = false;
        std::atomic<int> specialOpens = 0, specialReads = 0;
        const auto special = [](int fd) {
            struct stat info
            {};
            return ::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
        };
        calls.onOpenAt = [&](int dirFd, const char* name, int flags) {
            if (!swapped && std::string(name) == "victim") {
                swapped = ::rename(spare.c_str(), victim.c_str()) == 0;
            }
            const int fd = calls.SystemCalls::openAt(dirFd, name, flags);
            if (fd >= 0 && (flags & O_PATH) == 0 && special(fd)) {
                ++specialOpens;
            }
            return fd;
        };
        calls.onRead = [&](int fd, void* buffer, std::size_t size) {
            if (special(fd)) {
                ++specialReads;
            }
            return calls.realRead(fd, buffer, size);
        };
        RunState state;
        RunOptions options = test::optionsFor(Operation::check, f, true);
        options.jobs = static_cast<std::size_t>(jobs);
        const std::string report = test::runReport(options, &state, -1, &pool);
        calls.onOpenAt = nullptr;
        calls.onRead = nullptr;
        EXPECT_TRUE(swapped);
        EXPECT_EQ(report,
                  test::inFolder(
                      std::string(c.read ? "⚠️ No digest found for {F}/victim @ ??\n" : "") +
                          "⚠️ No digest found for {F}/z-other @ ??\n"
                          "Checked a total of 2 files in {F}\n"
                          "\t0 matched digest correctly\n"
                          "\t0 didn't match their digest\n\t" +
                          (c.read ? "2" : "1") +
                          " had no digest.\n"
                          "Buffer size 4 giving actual buffer 4096",
                      f));
        EXPECT_EQ(specialOpens, c.fifoItself ? 1 : 0);
        EXPECT_EQ(specialReads, 0);
        if (!c.fifoItself) {
            EXPECT_EQ(processState(*writer), 'S') << "the writer was let through";
        }
        // Let the writer go: a reader that opens and closes at once.
        ::close(::open((c.fifoItself ? victim : fifo).c_str(), O_RDONLY | O_NONBLOCK));
        ::waitpid(*writer, nullptr, 0);
    }
}

// Deep in a tree, the folders far above have given their descriptors back. If
// one of them is moved meanwhile, going back up through ".." would land in the
// folder it was moved into: the walk must give up the folders above rather
// than go on by name there, where a file of the same name waits.
TEST(Faults, AFolderMovedAboveADeepWalkIsGivenUpNotFollowed)
{
    test::TempTree tree;
    const auto f = tree.folder("f");
    std::string levelFour = "f/a/d/d/d";
    std::string deepest = levelFour;
    for (int depth = 0; depth < 80; ++depth) {
        deepest += "/d";
    }
    tree.file(deepest + "/deep.txt", "deep");
    const auto inside = tree.file(levelFour + "/zz-victim", "inside");
    const auto outside = tree.file("outside/zz-victim", "outside");
    test::ScriptedSystemCalls calls;
    bool moved = false;
    calls.onOpenAt = [&](int folder, const char* name, int flags) {
        if (!moved && std::string_view(name) == "deep.txt") {
            moved = ::rename(tree.path(levelFour + "/d").c_str(), tree.path("outside/d").c_str()) == 0;
        }
        return calls.SystemCalls::openAt(folder, name, flags);
    };
    const std::string report = test::runReport(test::optionsFor(Operation::tag, f));
    calls.onOpenAt = nullptr;
    ASSERT_TRUE(moved);
    std::string expected;
    for (std::string level = tree.path(levelFour); level.size() >= f.size();
         level.resize(level.rfind('/'))) {
        expected += "❌ Couldn't read " + level + ": the folder was moved while it was being read\n";
    }
    EXPECT_EQ(report, expected + "Tagged a total of 1 files in " + f + " with 5 errors.");
    EXPECT_EQ(test::storedAttribute(outside, kDigestAttributeName), std::nullopt);
    EXPECT_EQ(test::storedAttribute(inside, kDigestAttributeName), std::nullopt);
}

// Writes that do not fit, then (last, as it may be skipped) a file system
// without user attributes: a ramfs refuses every one.
TEST(Faults, AttributeWritesThatFailAreNamedAndNeverTurnIntoADifference)
{
    for (const int error : {ENOSPC, E2BIG, EOPNOTSUPP}) {
        const std::string reason = std::strerror(error);
        const bool ramfs = error == EOPNOTSUPP;
        test::TempTree tree;
        const auto f = tree.folder("f");
        std::optional<test::RamfsMount> mount;
        if (ramfs && !mount.emplace(f).unavailable().empty()) {
            GTEST_SKIP() << mount->unavailable();
        }
        const auto untagged = f + "/a-untagged", tagged = f + "/b-tagged";
        test::writeWholeFile(untagged, "");
        test::writeWholeFile(tagged, "kept");
        test::ScriptedSystemCalls calls;
        if (!ramfs) {
            test::storeAttribute(tagged, kDigestAttributeName, digestOfBytes("kept").view());
            calls.onSetAttribute = [error](int, const char*, const void*, std::size_t) {
                return (errno = error), -1;
            };
        }
        EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f, false, true)),
                  "❌ Couldn't tag " + untagged + ": " + reason + "\n❌ Couldn't tag " + tagged +
                      ": " + reason + "\nTagged a total of 2 files in " + f + " with 2 errors.");
        EXPECT_EQ(test::runReport(test::optionsFor(Operation::check, f, true)),
                  "⚠️ No digest found for " + untagged + " @ ??\n" +
                      (ramfs ? "⚠️ No digest found for " : "✅ Digests for ") + tagged +
                      " @ ??\nChecked a total of 2 files in " + f + "\n\t" + (ramfs ? "0" : "1") +
                      " matched digest correctly\n\t0 didn't match their digest\n\t" +
                      (ramfs ? "2" : "1") +
                      " had no digest.\nBuffer size 4 giving actual buffer 4096");
        EXPECT_EQ(test::storedAttribute(tagged, kTimeAttributeName), std::nullopt);
    }
}

TEST(HostileTree, ASparseFileOfEightGibibytesIsReadThroughItsHoles)
{
    if (!test::longRun()) {
        GTEST_SKIP() << "a long test: set QUELBY_LONG_TESTS=1 (./test.sh --long)";
    }
    test::TempTree tree;
    const auto folder = tree.folder("f");
    constexpr off_t kHole = off_t{8} << 30;
    const std::string tail = "the end of a sparse file", zeros(1 << 20, '\0');
    const int fd = ::open((folder + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), kHole), static_cast<ssize_t>(tail.size()));
    ::close(fd);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    for (off_t done = 0; done < kHole; done += 1 << 20) {
        EVP_DigestUpdate(context, zeros.data(), zeros.size());
    }
    EVP_DigestUpdate(context, tail.data(), tail.size());
    Digest expected;
    EVP_DigestFinal_ex(context, expected.bytes.data(), nullptr);
    EVP_MD_CTX_free(context);
    auto options = test::optionsFor(Operation::tag, folder);
    options.realBufferSize = 1 << 20;
    EXPECT_EQ(test::runReport(options),
              "Tagged a total of 1 files in " + folder + " with 0 errors.");
    EXPECT_EQ(test::storedAttribute(folder + "/sparse", kDigestAttributeName),
              std::string(expected.view()));
}

#ifdef QUELBY_CLI_PATH

// Starts the command-line tool with its report going to a file.
pid_t startTool(std::vector<const char*> arguments, const std::string& report)
{
    arguments.insert(arguments.begin(), QUELBY_CLI_PATH);
    arguments.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::open(report.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), 1);
        ::execv(arguments[0], const_cast<char* const*>(arguments.data()));
        ::_exit(127);
    }
    return child;
}

TEST(Concurrency, AKilledTagLeavesNoWrongDigestAndTwoTagsAndACheckAtOnceTearNoValue)
{
    for (const auto seed : test::testSeeds(6, 40)) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QUELBY_TEST_SEED)");
        std::mt19937_64 random(seed);
        test::TempTree tree;
        const auto folder = tree.folder("f");
        const char* f = folder.c_str();
        std::map<std::string, std::string> truth;
        std::map<std::string, std::optional<std::string>> before;
        for (int index = 0; index < 60; ++index) {
            std::string contents(random() % 200000, '\0');
            std::generate(contents.begin(), contents.end(), [&] { return char(random()); });
            const auto path = tree.file("f/-\n\xff" + std::to_string(index), contents);
            truth[path] = digestOfBytes(contents).view();
            if (random() % 2 == 0) {
                before[path] = std::string(digestOfBytes("older " + contents).view());
                test::storeAttribute(path, kDigestAttributeName, *before[path]);
            }
        }
        const pid_t killed = startTool({"tag", "-q", "-t", "-b", "1K", f}, "/dev/null");
        ::usleep(static_cast<useconds_t>(random() % 30000));
        ::kill(killed, SIGKILL);
        ::waitpid(killed, nullptr, 0);
        // Each file holds what it held before or its true digest, and a stamp
        // only next to its true digest.
        for (const auto& [path, digest] : truth) {
            if (test::storedAttribute(path, kDigestAttributeName) != digest) {
                EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), before[path]) << path;
                EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName), std::nullopt) << path;
                // No older digest stays, so nothing the check below sees may rightly differ.
                test::removeAttribute(path, kDigestAttributeName);
            }
        }
        for (const pid_t child : {startTool({"tag", "-q", "-b", "1K", f}, "/dev/null"),
                                  startTool({"tag", "-q", "-t", "-b", "4K", f}, "/dev/null"),
                                  startTool({"check", "-q", "-b", "2K", f}, tree.path("check"))}) {
            int status = -1;
            ::waitpid(child, &status, 0);
            // 1 for a file changed under a reader, 3 for a check that ran ahead of the tags.
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2 && WEXITSTATUS(status) <= 3)
                << status;
        }
        // A digest written by one run while another reads the file moves its
        // change time: the reader says so, and that is the only failure allowed.
        std::istringstream checkReport(test::readWholeFile(tree.path("check")));
        for (std::string line; std::getline(checkReport, line);) {
            if (line.starts_with("❌")) {
                EXPECT_TRUE(line.ends_with(": file changed while it was being read")) << line;
            }
        }
        for (const auto& [path, digest] : truth) {
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), digest) << path;
        }
    }
}

#endif

TEST(Properties, OverRandomTreesTagCheckAndRetagKeepTheirPromises)
{
    for (const auto seed : test::testSeeds(3, 30)) {
        SCOPED_TRACE("QUELBY_TEST_SEED=" + std::to_string(seed));
        std::mt19937_64 random(seed);
        test::TempTree tree;
        const auto root = tree.folder("root");
        // The expected lines name each file as the tree says a report shows it.
        ASSERT_EQ(root.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789/._-"),
                  std::string::npos)
            << root;
        std::map<std::string, std::string> shown;
        const auto files = test::randomTree(root, random, &shown);
        RunState state;
        test::runReport(test::optionsFor(Operation::tag, root, false, true), &state);
        test::runReport(test::optionsFor(Operation::check, root), &state);
        EXPECT_EQ(state.matchedCount, state.totalCount);
        const auto tagged = test::attributesOf(files);
        EXPECT_EQ(test::runReport(test::optionsFor(Operation::retag, root, false, true), &state)
                      .find("⚠️"),
                  std::string::npos);
        EXPECT_EQ(test::attributesOf(files), tagged); // matched files are not written, stamps included

        // Damage files without a second name, then Retag must name exactly those.
        std::string expected;
        for (const auto& file : files) {
            struct stat info
            {};
            if (::stat(file.c_str(), &info) != 0 || info.st_nlink > 1 || random() % 3 != 0) {
                continue;
            }
            switch (random() % 3) {
            case 0:
                test::writeWholeFile(file, test::readWholeFile(file) + "!");
                break;
            case 1:
                test::removeAttribute(file, kDigestAttributeName);
                break;
            default:
                test::storeAttribute(file, kDigestAttributeName, std::to_string(random()));
            }
            const bool missing = !test::storedAttribute(file, kDigestAttributeName);
            expected +=
                (missing ? "⚠️ Tagged " : "⚠️ Retagged ") + shown.at(file) + "\n";
        }
        std::vector<std::string> lines;
        std::string report = test::runReport(test::optionsFor(Operation::retag, root), &state);
        report.resize(report.find("Retagged a total"));
        std::vector<std::string> expectedLines;
        for (std::string* text : {&report, &expected}) {
            auto& into = text == &report ? lines : expectedLines;
            for (std::size_t at = 0, end; (end = text->find('\n', at)) != std::string::npos;
                 at = end + 1) {
                into.push_back(text->substr(at, end - at));
            }
            std::sort(into.begin(), into.end());
        }
        EXPECT_EQ(lines, expectedLines);
        EXPECT_EQ(state.matchedCount + state.retaggedCount + state.firstTagCount, state.totalCount);
        test::runReport(test::optionsFor(Operation::check, root), &state);
        EXPECT_EQ(state.matchedCount, state.totalCount);
    }
}

// The bytes of address space this process has mapped.
rlim_t mappedBytes()
{
    const std::string status = test::readWholeFile("/proc/self/status");
    const auto at = status.find("VmSize:");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 7, nullptr, 10) << 10;
}

// Runs body in a child process held to 1,024 open files and, unless a
// sanitizer reserves its own vast address space, 256 MiB more than is mapped now.
int runWithinLimits(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit files{1024, 1024};
        const rlim_t space = mappedBytes() + (rlim_t{256} << 20);
        const rlimit addressSpace{space, space};
        if (::setrlimit(RLIMIT_NOFILE, &files) != 0 ||
            (!test::kSanitized && ::setrlimit(RLIMIT_AS, &addressSpace) != 0)) {
            ::_exit(125);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(HostileTree, AWideFolderAndAChainTenThousandDeepAreWalkedWithinTightLimits)
{
    test::TempTree tree;
    const auto wide = tree.folder("wide");
    for (int i = 0; i < 100000; ++i) {
        ::close(::open((wide + "/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644));
    }
    // Made one level at a time through descriptors: the path is far beyond PATH_MAX.
    const auto chain = tree.folder("chain");
    int level = ::open(chain.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string deepest = chain;
    for (int depth = 0; depth < 10000; ++depth) {
        ::mkdirat(level, "d", 0755);
        const int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(level);
        ASSERT_GE(level = next, 0) << depth;
        deepest += "/d";
    }
    ::close(::openat(level, "deepest", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ::close(level);
    deepest += "/deepest";

    const std::string expectedTag = "Tagged a total of 1 files in " + chain + " with 0 errors.";
    const std::string expectedCheck =
        "✅ Digests for " + deepest + " @ ??\nChecked a total of 1 files";
    EXPECT_EQ(runWithinLimits([&] {
                  RunState state;
                  test::runReport(test::optionsFor(Operation::check, wide), &state);
                  if (state.totalCount != 100000 || state.noDigestCount != 100000) {
                      return 1;
                  }
                  if (test::runReport(test::optionsFor(Operation::tag, chain)) != expectedTag) {
                      return 2;
                  }
                  return test::runReport(test::optionsFor(Operation::check, chain, true))
                                 .starts_with(expectedCheck)
                             ? 0
                             : 3;
              }),
              0)
        << "1: the wide folder, 2: tagging the chain, 3: checking it; 125: no limits here";
}

} // namespace
} // namespace quelby
