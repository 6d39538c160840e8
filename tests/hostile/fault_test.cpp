#include "engine/run_fixture.h"
#include "support/scripted_system_calls.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

namespace quelby {
namespace {

constexpr std::int64_t kBufferSizes[] = {1, 2, 3, 7, 4095, 4096, 4097, 65536, 1048576, 3000000};

std::string patterned(std::size_t size)
{
    std::string bytes(size, '\0');
    std::mt19937 random(static_cast<unsigned>(size));
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// The file sizes worth trying with a buffer: empty, one buffer and one byte
// either side of it, and several buffers with a short tail.
std::vector<std::size_t> sizesAround(std::int64_t bufferSize)
{
    const auto buffer = static_cast<std::size_t>(bufferSize);
    std::vector<std::size_t> sizes = {0, buffer - 1, buffer, buffer + 1};
    if (buffer < 100000) {
        sizes.push_back(3 * buffer + buffer / 2 + 1);
    }
    return sizes;
}

enum class Fault
{
    shortReads,
    interrupted,
    errorAtOffset,
    mixed
};

// Scripts the reads of one file: short reads, EINTR, or EIO once the read
// reaches a given offset.
class FaultyReads
{
public:
    FaultyReads(Fault fault, std::size_t failOffset, std::uint64_t seed)
        : fault_(fault), failOffset_(failOffset), random_(seed)
    {
        calls_.onRead = [this](int fd, void* buffer, std::size_t size) {
            return read(fd, buffer, size);
        };
    }

private:
    ssize_t read(int fd, void* buffer, std::size_t size)
    {
        const auto offset = static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR));
        Fault fault = fault_;
        if (fault == Fault::mixed) {
            fault = static_cast<Fault>(random_() % 3);
        }
        switch (fault) {
        case Fault::shortReads:
            return calls_.realRead(fd, buffer, 1 + random_() % size);
        case Fault::interrupted:
            if (random_() % 2 == 0) {
                errno = EINTR;
                return -1;
            }
            break;
        case Fault::errorAtOffset:
            if (offset + size > failOffset_ || offset == failOffset_) {
                errno = EIO;
                return -1;
            }
            break;
        case Fault::mixed:
            break;
        }
        return calls_.realRead(fd, buffer, size);
    }

    test::ScriptedSystemCalls calls_;
    Fault fault_;
    std::size_t failOffset_;
    std::mt19937_64 random_;
};

TEST(Faults, ADigestUnderShortReadsEintrAndEioIsTheTrueDigestOrAReadFailure)
{
    test::TempTree tree;
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const auto bufferSize : kBufferSizes) {
        for (const auto size : sizesAround(bufferSize)) {
            const std::string contents = patterned(size);
            const auto path = tree.file("file", contents);
            const Digest truth = digestOfBytes(contents);
            const struct
            {
                Fault fault;
                std::size_t failOffset;
                bool mayFail;
            } cases[] = {
                {Fault::shortReads, 0, false},      {Fault::interrupted, 0, false},
                {Fault::errorAtOffset, 0, true},    {Fault::errorAtOffset, size / 2, true},
                {Fault::errorAtOffset, size, true}, {Fault::mixed, size / 3, true},
            };
            for (const auto& c : cases) {
                SCOPED_TRACE("buffer " + std::to_string(bufferSize) + ", size " +
                             std::to_string(size) + ", fault " +
                             std::to_string(static_cast<int>(c.fault)) + " at " +
                             std::to_string(c.failOffset));
                DigestResult result;
                {
                    FaultyReads faults(c.fault, c.failOffset, seed);
                    result = fileDigest(path, bufferSize, DigestBackEnd::current);
                }
                if (result) {
                    ASSERT_TRUE(result->has_value());
                    EXPECT_EQ(**result, truth);
                    EXPECT_TRUE(c.fault != Fault::errorAtOffset);
                } else {
                    EXPECT_TRUE(c.mayFail) << result.error().description;
                    EXPECT_EQ(result.error().code, EIO);
                    EXPECT_EQ(result.error().description, std::strerror(EIO));
                }
            }
        }
    }
}

TEST(Faults, AnEioPartWayKeepsTheStoredEvidenceAndIsNeverCalledADifference)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const std::string old = "what the file held when it was tagged";
    const std::string stamp = "2020-01-02T03_04_05Z";
    const auto path = tree.file("f/file", patterned(50000));
    const std::string expectedLine = "❌ Couldn't read " + path + ": " + std::strerror(EIO) + "\n";
    for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
        for (const std::size_t failOffset :
             {std::size_t{0}, std::size_t{4096}, std::size_t{49999}, std::size_t{50000}}) {
            SCOPED_TRACE("operation " + std::to_string(static_cast<int>(operation)) + ", EIO at " +
                         std::to_string(failOffset));
            test::storeAttribute(path, kDigestAttributeName, digestOfBytes(old).view());
            test::storeAttribute(path, kTimeAttributeName, stamp);
            RunState state;
            std::string report;
            {
                FaultyReads faults(Fault::errorAtOffset, failOffset, 0);
                report = test::runReport(test::optionsFor(operation, folder, true, true), &state);
            }
            EXPECT_EQ(report.substr(0, report.find('\n') + 1), expectedLine);
            EXPECT_EQ(state.failureCount, 1);
            EXPECT_EQ(state.mismatchedCount, 0);
            EXPECT_EQ(state.matchedCount, 0);
            EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName),
                      std::string(digestOfBytes(old).view()));
            EXPECT_EQ(test::storedAttribute(path, kTimeAttributeName), stamp);
        }
    }
}

TEST(Faults, AWriteThatDoesNotFitIsNamedAndTheNextCheckNeverSaysDiffers)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto untagged = tree.file("f/a-untagged", "fresh");
    const auto tagged = tree.file("f/b-tagged", "kept");
    for (const int error : {ENOSPC, E2BIG, EDQUOT}) {
        SCOPED_TRACE(std::strerror(error));
        test::removeAttribute(untagged, kDigestAttributeName);
        test::storeAttribute(tagged, kDigestAttributeName, digestOfBytes("kept").view());
        test::removeAttribute(tagged, kTimeAttributeName);
        std::string report;
        {
            test::ScriptedSystemCalls calls;
            calls.onSetAttribute = [error](int, const char*, const void*, std::size_t) {
                errno = error;
                return -1;
            };
            report = test::runReport(test::optionsFor(Operation::tag, folder, false, true));
        }
        const std::string reason = std::strerror(error);
        EXPECT_EQ(report, "❌ Couldn't tag " + untagged + ": " + reason + "\n" + "❌ Couldn't tag " +
                              tagged + ": " + reason + "\n" + "Tagged a total of 2 files in " +
                              folder + " with 2 errors.");
        EXPECT_EQ(test::storedAttribute(untagged, kDigestAttributeName), std::nullopt);
        EXPECT_EQ(test::storedAttribute(tagged, kTimeAttributeName), std::nullopt);

        RunState checked;
        test::runReport(test::optionsFor(Operation::check, folder), &checked);
        EXPECT_EQ(checked.noDigestCount, 1);
        EXPECT_EQ(checked.matchedCount, 1);
        EXPECT_EQ(checked.mismatchedCount, 0);
    }
}

TEST(Faults, OnlyExactlyTheThirtyTwoDigestBytesMatchWhateverLengthIsStored)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = tree.file("f/file", "contents");
    const Digest digest = digestOfBytes("contents");
    const std::string right(digest.view());
    std::string hexText;
    for (const unsigned char byte : digest.bytes) {
        constexpr char kHex[] = "0123456789abcdef";
        hexText += kHex[byte >> 4];
        hexText += kHex[byte & 15];
    }
    const struct
    {
        std::string stored;
        const char* checkLine; // what Check says; Retag then repairs every non-match
        const char* retagLine;
    } cases[] = {
        {"", "⚠️ No digest found for ", "⚠️ Tagged "},
        {right.substr(0, 1), "❌ Digests for ", "⚠️ Retagged "},
        {right.substr(0, 31), "❌ Digests for ", "⚠️ Retagged "},
        {right, "✅ Digests for ", "✅ Digests for "},
        {right + std::string(1, '\0'), "❌ Digests for ", "⚠️ Retagged "},
        {right + right, "❌ Digests for ", "⚠️ Retagged "},
        {hexText, "❌ Digests for ", "⚠️ Retagged "},
        {std::string(32, '\0'), "❌ Digests for ", "⚠️ Retagged "},
        {right + std::string(4000 - 32, '\0'), "❌ Digests for ", "⚠️ Retagged "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("stored " + std::to_string(c.stored.size()) + " bytes");
        test::storeAttribute(path, kDigestAttributeName, c.stored);
        const std::string checked =
            test::runReport(test::optionsFor(Operation::check, folder, true));
        EXPECT_TRUE(checked.starts_with(std::string(c.checkLine) + path)) << checked;
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), c.stored);
        const std::string retagged =
            test::runReport(test::optionsFor(Operation::retag, folder, true));
        EXPECT_TRUE(retagged.starts_with(std::string(c.retagLine) + path + "\n")) << retagged;
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), right);
    }
}

TEST(Faults, AnEioWhileReadingALargeStoredValueWritesNothing)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto path = tree.file("f/file", "contents");
    const std::string stored(4000, 'v');
    for (const auto operation : {Operation::check, Operation::retag}) {
        test::storeAttribute(path, kDigestAttributeName, stored);
        std::string report;
        int writes = 0;
        {
            test::ScriptedSystemCalls calls;
            int reads = 0;
            // The first, small read meets ERANGE as usual; the next one fails.
            calls.onGetAttribute = [&](int fd, const char* name, void* value, std::size_t size) {
                if (std::strstr(name, "hash") != nullptr && ++reads > 1) {
                    errno = EIO;
                    return ssize_t{-1};
                }
                return calls.SystemCalls::getAttribute(fd, name, value, size);
            };
            calls.onSetAttribute = [&](int fd, const char* name, const void* value,
                                       std::size_t size) {
                ++writes;
                return calls.SystemCalls::setAttribute(fd, name, value, size);
            };
            report = test::runReport(test::optionsFor(operation, folder));
        }
        EXPECT_EQ(writes, 0);
        EXPECT_TRUE(
            report.starts_with("❌ Couldn't read " + path + ": " + std::strerror(EIO) + "\n"))
            << report;
        EXPECT_EQ(test::storedAttribute(path, kDigestAttributeName), stored);
    }
}

} // namespace
} // namespace quelby

namespace quelby {
namespace {

TEST(Faults, InterruptedCallsOfEveryKindChangeNothingAUserCanSee)
{
    test::TempTree tree;
    const auto folder = tree.folder("f");
    const auto right = tree.file("f/a-right", "right");
    const auto wrong = tree.file("f/b-wrong", "wrong");
    const auto untagged = tree.file("f/c-untagged", patterned(70000));
    const auto prepare = [&] {
        test::storeAttribute(right, kDigestAttributeName, digestOfBytes("right").view());
        test::storeAttribute(wrong, kDigestAttributeName, digestOfBytes("before").view());
        test::removeAttribute(untagged, kDigestAttributeName);
    };
    const auto evidence = [&] {
        std::vector<std::optional<std::string>> values;
        for (const auto& path : {right, wrong, untagged}) {
            values.push_back(test::storedAttribute(path, kDigestAttributeName));
        }
        return values;
    };
    for (const auto operation : {Operation::check, Operation::tag, Operation::retag}) {
        SCOPED_TRACE("operation " + std::to_string(static_cast<int>(operation)));
        const auto options = test::optionsFor(operation, folder, true);
        prepare();
        const std::string calm = test::runReport(options);
        const auto calmEvidence = evidence();

        prepare();
        std::string interrupted;
        {
            test::ScriptedSystemCalls calls;
            int count = 0;
            // Every other call of each kind is interrupted before it does anything.
            const auto interrupt = [&count] {
                if (++count % 2 == 0) {
                    errno = EINTR;
                    return true;
                }
                return false;
            };
            calls.onOpenAt = [&](int dirFd, const char* name, int flags) {
                return interrupt() ? -1 : calls.SystemCalls::openAt(dirFd, name, flags);
            };
            calls.onRead = [&](int fd, void* buffer, std::size_t size) {
                return interrupt() ? ssize_t{-1} : calls.realRead(fd, buffer, size);
            };
            calls.onGetAttribute = [&](int fd, const char* name, void* value, std::size_t size) {
                return interrupt() ? ssize_t{-1}
                                   : calls.SystemCalls::getAttribute(fd, name, value, size);
            };
            calls.onSetAttribute = [&](int fd, const char* name, const void* value,
                                       std::size_t size) {
                return interrupt() ? -1 : calls.SystemCalls::setAttribute(fd, name, value, size);
            };
            interrupted = test::runReport(options);
        }
        EXPECT_EQ(interrupted, calm);
        EXPECT_EQ(evidence(), calmEvidence);
    }
}

} // namespace
} // namespace quelby
