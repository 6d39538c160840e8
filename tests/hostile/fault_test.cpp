#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/mount.h>
#include <unistd.h>

namespace quelby {
namespace {

std::string patterned(std::size_t size)
{
    std::string bytes(size, '\0');
    std::mt19937 random(static_cast<unsigned>(size));
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

enum class Fault
{
    shortReads,
    interrupted,
    errorAtOffset,
    mixed // one of the three above, drawn per read
};

// Scripts every read: short, EINTR, or EIO once the read reaches failOffset.
void scriptReads(test::ScriptedSystemCalls& calls, Fault fault, std::size_t failOffset,
                 std::uint64_t seed)
{
    calls.onRead = [&calls, fault, failOffset, random = std::mt19937_64(seed)](
                       int fd, void* buffer, std::size_t size) mutable -> ssize_t {
        const auto offset = static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR));
        const Fault now = fault == Fault::mixed ? static_cast<Fault>(random() % 3) : fault;
        if (now == Fault::shortReads) {
            return calls.realRead(fd, buffer, 1 + random() % size);
        }
        if ((now == Fault::interrupted && random() % 2 == 0) ||
            (now == Fault::errorAtOffset && (offset + size > failOffset || offset == failOffset))) {
            errno = now == Fault::interrupted ? EINTR : EIO;
            return -1;
        }
        return calls.realRead(fd, buffer, size);
    };
}

// Check starts from the true digest, Tag and Retag from an older one; a read
// failure must keep that digest and its stamp, and is never called a difference.
TEST(Faults, UnderShortReadsEintrAndEioARunFindsTheTrueDigestOrReportsAReadFailure)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const std::string old(digestOfBytes("what the file held when it was tagged").view());
    const std::string stamp = "2020-01-02T03_04_05Z";
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const std::int64_t bufferSize : {1, 2, 3, 7, 4095, 4096, 4097, 65536, 1048576, 3000000}) {
        // Empty, one buffer and a byte either side, several buffers and a tail.
        const auto buffer = static_cast<std::size_t>(bufferSize);
        std::vector<std::size_t> sizes = {0, buffer - 1, buffer, buffer + 1};
        if (buffer < 100000) {
            sizes.push_back(3 * buffer + buffer / 2 + 1);
        }
        for (const auto size : sizes) {
            const auto path = tree.file("f/file", patterned(size));
            const std::string truth(digestOfBytes(patterned(size)).view());
            for (const auto& [fault, failOffset] : {std::pair{Fault::shortReads, std::size_t{0}},
                                                    {Fault::interrupted, 0},
                                                    {Fault::errorAtOffset, 0},
                                                    {Fault::mixed, size / 3},
                                                    {Fault::errorAtOffset, size / 2},
                                                    {Fault::errorAtOffset, size}}) {
                for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
                    SCOPED_TRACE("buffer " + std::to_string(bufferSize) + ", size " +
                                 std::to_string(size) + ", fault " +
                                 std::to_string(static_cast<int>(fault)) + " at " +
                                 std::to_string(failOffset) + ", operation " +
                                 std::to_string(static_cast<int>(operation)));
                    const std::string before = operation == Operation::check ? truth : old;
                    test::storeAttribute(path, kDigestAttributeName, before);
                    test::storeAttribute(path, kTimeAttributeName, stamp);
                    auto options = test::optionsFor(operation, folder, false, true);
                    options.realBufferSize = bufferSize;
                    test::ScriptedSystemCalls calls;
                    scriptReads(calls, fault, failOffset, seed);
                    RunState state;
                    const std::string report = test::runReport(options, &state);
                    EXPECT_EQ(state.mismatchedCount, 0);
                    if (state.failureCount == 0) {
                        EXPECT_NE(fault, Fault::errorAtOffset);
                        EXPECT_EQ(state.matchedCount, operation == Operation::check ? 1 : 0);
                        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), truth);
                    } else {
                        EXPECT_TRUE(fault == Fault::errorAtOffset || fault == Fault::mixed);
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

// Writes that do not fit, then (last, as it may be skipped) a file system
// without user attributes: a ramfs refuses every one.
TEST(Faults, AttributeWritesThatFailAreNamedAndNeverTurnIntoADifference)
{
    for (const int error : {ENOSPC, E2BIG, EDQUOT, EOPNOTSUPP}) {
        const std::string reason = std::strerror(error);
        SCOPED_TRACE(reason);
        const bool ramfs = error == EOPNOTSUPP;
        test::TempTree tree;
        const auto f = tree.folder("f");
        if (ramfs && ::mount("ramfs", f.c_str(), "ramfs", 0, nullptr) != 0) {
            GTEST_SKIP() << "cannot mount a ramfs here: " << std::strerror(errno);
        }
        const std::unique_ptr<const char, void (*)(const char*)> unmount(
            ramfs ? f.c_str() : nullptr, [](const char* path) { ::umount2(path, MNT_DETACH); });
        const auto untagged = f + "/a-untagged", tagged = f + "/b-tagged";
        test::writeWholeFile(untagged, "");
        test::writeWholeFile(tagged, "kept");
        test::ScriptedSystemCalls calls;
        if (!ramfs) {
            test::storeAttribute(tagged, kDigestAttributeName, digestOfBytes("kept").view());
            calls.onSetAttribute = [error](int, const char*, const void*, std::size_t) {
                errno = error;
                return -1;
            };
        }
        const std::string matched = ramfs ? "0" : "1";
        EXPECT_EQ(test::runReport(test::optionsFor(Operation::tag, f, false, true)),
                  "❌ Couldn't tag " + untagged + ": " + reason + "\n❌ Couldn't tag " + tagged +
                      ": " + reason + "\nTagged a total of 2 files in " + f + " with 2 errors.");
        EXPECT_EQ(test::runReport(test::optionsFor(Operation::retag, f, false, true)),
                  "❌ Couldn't tag " + untagged + "\n" +
                      (ramfs ? "❌ Couldn't tag " + tagged + "\n" : "") +
                      "Retagged a total of 2 files in " + f + "\t" + matched +
                      " matched digest correctly\n\t0 were retagged\n\t0 were tagged for the "
                      "first time.");
        EXPECT_EQ(test::runReport(test::optionsFor(Operation::check, f, true)),
                  "⚠️ No digest found for " + untagged + " @ ??\n" +
                      (ramfs ? "⚠️ No digest found for " : "✅ Digests for ") + tagged +
                      " @ ??\nChecked a total of 2 files in " + f + "\n\t" + matched +
                      " matched digest correctly\n\t0 didn't match their digest\n\t" +
                      (ramfs ? "2" : "1") +
                      " had no digest.\nBuffer size 4 giving actual buffer 4096");
        EXPECT_EQ(test::storedAttribute(tagged, kTimeAttributeName), std::nullopt);
    }
}

TEST(Faults, StoredValuesOfOneOrFourThousandBytesDifferAndRetagRepairsThem)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = tree.file("f/file", "contents");
    const std::string right(digestOfBytes("contents").view());
    const std::string large = right + std::string(4000 - 32, '\0');
    const std::string failed = "❌ Couldn't read " + path + ": " + std::strerror(EIO) + "\n";
    const struct
    {
        std::string stored;
        bool secondReadFails; // a value too large for the first, small read is read again
    } cases[] = {{right.substr(0, 1), false}, {large, false}, {large, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE("stored " + std::to_string(c.stored.size()) + " bytes");
        test::storeAttribute(path, kDigestAttributeName, c.stored);
        test::ScriptedSystemCalls calls;
        int reads = 0;
        calls.onGetAttribute = [&](int fd, const char* name, void* value, std::size_t size) {
            if (c.secondReadFails && std::strstr(name, "hash") != nullptr && ++reads > 1) {
                errno = EIO;
                return ssize_t{-1};
            }
            return calls.SystemCalls::getAttribute(fd, name, value, size);
        };
        EXPECT_TRUE(test::runReport(test::optionsFor(Operation::check, folder))
                        .starts_with(c.secondReadFails ? failed : "❌ Digests for " + path));
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), c.stored);
        reads = 0;
        EXPECT_TRUE(
            test::runReport(test::optionsFor(Operation::retag, folder))
                .starts_with(c.secondReadFails ? failed : "⚠️ Retagged " + path + "\n"));
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
                  c.secondReadFails ? c.stored : right);
    }
}

} // namespace
} // namespace quelby
