// Repair run as root over a folder others can write, from a copy someone
// else controls: what the repaired file may carry, how much may be written,
// what may be opened, and what a run must never leave unnamed.

#include "repair_fixture.h"
#include "support/scripted_system_calls.h"
#include "support/unprivileged.h"

#include <cerrno>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quelby::cli {
namespace {

// An attribute by its full name (security., system.), or none.
std::optional<std::string> rawAttribute(const std::string& path, const char* name)
{
    std::string value(65536, '\0');
    const ssize_t size = ::lgetxattr(path.c_str(), name, value.data(), value.size());
    if (size < 0) {
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(size));
    return value;
}

std::string summaryOf(int repaired, int toRepair, const std::string& folder)
{
    return "Repaired " + std::to_string(repaired) + " of " + std::to_string(toRepair) +
           (toRepair == 1 ? " damaged file in " : " damaged files in ") + folder + " (" +
           std::to_string(repaired) +
           " kept as .damaged).\n";
}

// A damaged f/photo.jpg and its intact copy in b/photo.jpg.
struct DamagedPhoto
{
    test::TempTree tree;
    std::string f = tree.folder("f");
    std::string b = tree.folder("b");
    std::string photo = f + "/photo.jpg";
    std::string intact = bytesOfSize(3000, 'p');
    std::string damaged;

    DamagedPhoto()
    {
        tagged(tree, "f/photo.jpg", intact);
        EXPECT_EQ(shell("cp -a " + f + "/. " + b), 0);
        flipBit(photo);
        damaged = test::readWholeFile(photo);
    }
    std::string failedLine(const std::string& reason) const
    {
        return "❌ Couldn't repair " + photo + ": " + reason + "\n";
    }
};

TEST(RepairAttack, GivesTheRepairedFileExactlyTheDamagedFilesAccessAndCapabilities)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string b = tree.folder("b");
    const std::string secretBytes = bytesOfSize(2000, 's');
    const std::string secret = tagged(tree, "f/secret", secretBytes);
    ASSERT_EQ(::chmod(secret.c_str(), 0640), 0);
    const std::string binary = tree.path("f/true");
    ASSERT_EQ(shell("cp /bin/true " + binary), 0);
    test::tagByHand(binary, kStamp);
    ASSERT_TRUE(test::setModificationTime(binary, kStampSecond + kDamaged));
    const std::string trueBytes = test::readWholeFile(binary);
    ASSERT_EQ(shell("cp -a " + f + "/. " + b), 0);
    flipBit(secret);
    flipBit(binary);
    // Another user may enter the folders, and a default ACL would let it read new files.
    ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(f.c_str(), 0755), 0);
    if (shell("setfacl -d -m u:65534:rwx " + f) != 0 ||
        shell("setcap cap_net_raw+ep " + binary) != 0) {
        GTEST_SKIP() << "setfacl or setcap does not work here";
    }
    const auto capability = rawAttribute(binary, "security.capability");
    ASSERT_TRUE(capability);
    const auto otherUserReads = [&] {
        return test::runUnprivileged([&] {
            const int fd = ::open(secret.c_str(), O_RDONLY);
            return fd >= 0 ? 0 : 1;
        });
    };
    const auto before = otherUserReads();
    if (!before) {
        GTEST_SKIP() << "privileges cannot be dropped here";
    }
    EXPECT_EQ(*before, 1);

    EXPECT_EQ(runFromRoot({"repair", "--from", b, f}),
              (Outcome{0,
                       "✅ Repaired " + secret + " from " + b + "/secret\n✅ Repaired " + binary +
                           " from " + b + "/true\n" + summaryOf(2, 2, f),
                       ""}));
    EXPECT_TRUE(test::readWholeFile(secret) == secretBytes);
    EXPECT_TRUE(test::readWholeFile(binary) == trueBytes);
    EXPECT_EQ(otherUserReads(), 1);
    EXPECT_EQ(rawAttribute(secret, "system.posix_acl_access"), std::nullopt);
    EXPECT_EQ(rawAttribute(binary, "security.capability"), capability);

    // An attribute that does not come back as it was stops the repair before the exchange.
    DamagedPhoto scene;
    test::storeAttribute(scene.photo, "comment", "kept with the bytes");
    test::ScriptedSystemCalls scripted;
    scripted.onSetAttribute = [&](int fd, const char* name, const void* value, std::size_t size) {
        return std::string_view(name) == "user.comment"
                   ? 0
                   : scripted.SystemCalls::setAttribute(fd, name, value, size);
    };
    EXPECT_EQ(runFromRoot({"repair", "--from", scene.b, scene.f}),
              (Outcome{1,
                       scene.failedLine("the attribute user.comment could not be kept") +
                           summaryOf(0, 1, scene.f),
                       ""}));
    EXPECT_EQ(namesIn(scene.f), std::vector<std::string>{"photo.jpg"});
    EXPECT_EQ(test::readWholeFile(scene.photo), scene.damaged);
}

// The copy grows to 1 TiB (sparsely) once proven: only the proven bytes may be written.
TEST(RepairAttack, WritesNoMoreThanTheProvenBytes)
{
    DamagedPhoto scene;
    int writes = 0;
    test::ScriptedSystemCalls scripted;
    scripted.onChange = [&](std::string_view call) {
        if (call == "createAt") {
            EXPECT_EQ(::truncate((scene.b + "/photo.jpg").c_str(), off_t{1} << 40), 0);
        }
        // Three writes of 1 KiB hold the 3000 proven bytes; a fourth would run on.
        return call == "write" && ++writes > 3 ? ENOSPC : 0;
    };
    EXPECT_EQ(
        runFromRoot({"repair", "-b", "1K", "--from", scene.b, scene.f}),
        (Outcome{
            1, scene.failedLine("the copy changed while it was copied") + summaryOf(0, 1, scene.f),
            ""}));
    EXPECT_LE(writes, 3);
    EXPECT_EQ(namesIn(scene.f), std::vector<std::string>{"photo.jpg"});
    EXPECT_EQ(test::readWholeFile(scene.photo), scene.damaged);
}

// A damaged file repair cannot touch, or one it may not judge, is never silent.
TEST(RepairAttack, FailsWhileDamageItDoesNotRepairRemains)
{
    test::TempTree tree;
    const std::string f = tree.folder("f");
    const std::string b = tree.folder("b");
    const std::string outside = tagged(tree, "outside.bin", bytesOfSize(1000, 'o'));
    ASSERT_EQ(::symlink("../outside.bin", tree.path("f/link.bin").c_str()), 0);
    tree.file("b/link.bin", bytesOfSize(1000, 'o'));
    tagged(tree, "f/unknown.bin", bytesOfSize(1200, 'u'), kUnknown);
    tagged(tree, "f/edited.bin", bytesOfSize(1300, 'e'), kEdited);
    ASSERT_EQ(shell("cp -a " + f + "/unknown.bin " + f + "/edited.bin " + b), 0);
    for (const auto& path : {outside, f + "/unknown.bin", f + "/edited.bin"}) {
        flipBit(path);
    }
    const std::string lines = "❌ Couldn't repair " + f +
                              "/link.bin: reached through a link\n⚠️ Left " + f +
                              "/unknown.bin: no time stamp tells an edit from damage "
                              "(--also-unknown repairs it)\n";
    EXPECT_EQ(runFromRoot({"repair", "--from", b, f}),
              (Outcome{1, lines + summaryOf(0, 1, f), ""}));
    EXPECT_EQ(runFromRoot({"repair", "--dry-run", "--from", b, f}),
              (Outcome{1, lines + "Would repair 0 of 1 damaged file in " + f + ".\n", ""}));
    // A file that may be damaged fails the run by itself; an edit is the user's business.
    ASSERT_EQ(::unlink(tree.path("f/link.bin").c_str()), 0);
    EXPECT_EQ(runFromRoot({"repair", "--from", b, f}),
              (Outcome{1, lines.substr(lines.find("⚠️")) + summaryOf(0, 0, f), ""}));
    ASSERT_EQ(::unlink(tree.path("f/unknown.bin").c_str()), 0);
    EXPECT_EQ(runFromRoot({"repair", "--from", b, f}), (Outcome{0, summaryOf(0, 0, f), ""}));
}

TEST(RepairAttack, RefusesAFolderWhereANameCannotBeRemovedBeforeWritingAnything)
{
    for (const auto& [flag, word] : {std::pair{"a", "append-only"}, {"i", "immutable"}}) {
        DamagedPhoto scene;
        if (shell(std::string("chattr +") + flag + " " + scene.f) != 0) {
            GTEST_SKIP() << "chattr needs a file system that keeps inode flags";
        }
        const std::string line = scene.failedLine(std::string("the folder is ") + word);
        const auto dryRun = runFromRoot({"repair", "--dry-run", "--from", scene.b, scene.f});
        const auto repair = runFromRoot({"repair", "--from", scene.b, scene.f});
        ASSERT_EQ(shell(std::string("chattr -") + flag + " " + scene.f), 0);
        EXPECT_EQ(
            dryRun,
            (Outcome{1, line + "Would repair 0 of 1 damaged file in " + scene.f + ".\n", ""}));
        EXPECT_EQ(repair, (Outcome{1, line + summaryOf(0, 1, scene.f), ""}));
        EXPECT_EQ(namesIn(scene.f), std::vector<std::string>{"photo.jpg"});
        EXPECT_EQ(test::readWholeFile(scene.photo), scene.damaged);
    }
}

// A temporary file that could not be removed is named by the failure and by every later walk.
TEST(RepairAttack, NamesEveryTemporaryFileItLeavesAndNeverTagsOne)
{
    DamagedPhoto scene;
    {
        test::ScriptedSystemCalls scripted;
        scripted.onChange = [](std::string_view call) {
            return call == "renameAt2" ? EIO : call == "unlinkAt" ? EPERM : 0;
        };
        const auto [status, out, err] = runFromRoot({"repair", "--from", scene.b, scene.f});
        EXPECT_EQ(status, 1);
        const std::string start =
            scene.failedLine("Input/output error; the temporary file .quelby-repair-");
        ASSERT_EQ(out.find(start.substr(0, start.size() - 1)), 0u) << out;
        EXPECT_NE(out.find(" could not be removed: Operation not permitted\n"), std::string::npos)
            << out;
    }
    const auto names = namesIn(scene.f);
    ASSERT_EQ(names.size(), 2u);
    const std::string leftover = scene.f + "/" + names[0];
    ASSERT_EQ(names[0].substr(0, 15), ".quelby-repair-");
    test::removeAttribute(leftover, kDigestAttributeName);
    test::removeAttribute(leftover, kTimeAttributeName);

    // Names that only look alike are files as any other; a folder is entered.
    for (const auto* name : {".quelby-repair-0123ABCD", ".quelby-repair-0123abcd.x",
                             ".quelby-repair-00000000/inner.txt"}) {
        scene.tree.file(std::string("f/") + name, "ordinary");
    }
    const std::string line = "⚠️ Left over from an interrupted repair: " + leftover + "\n";
    for (const auto* operation : {"tag", "retag", "check", "repair"}) {
        std::vector<std::string> args{operation, scene.f};
        if (std::string_view(operation) == "repair") {
            args = {operation, "--from", scene.b, scene.f};
        }
        const auto [status, out, err] = runFromRoot(args);
        EXPECT_EQ(status, 1) << operation << out;
        const auto at = out.find(line);
        EXPECT_NE(at, std::string::npos) << operation << out;
        EXPECT_EQ(out.find(leftover, at + line.size()), std::string::npos) << operation << out;
        EXPECT_EQ(test::storedAttribute(leftover, kDigestAttributeName), std::nullopt) << operation;
    }
    EXPECT_TRUE(test::storedAttribute(scene.f + "/.quelby-repair-00000000/inner.txt",
                                      kDigestAttributeName));
    EXPECT_TRUE(test::storedAttribute(scene.f + "/.quelby-repair-0123ABCD", kDigestAttributeName));
    // Excluded, it stays excluded.
    EXPECT_EQ(std::get<1>(runFromRoot({"check", "--exclude", names[0], scene.f})).find(line),
              std::string::npos);
}

// In COPY a FIFO or a device is never opened for reading, in any step of the search.
TEST(RepairAttack, OpensNothingButRegularFilesInTheCopy)
{
    DamagedPhoto scene;
    tagged(scene.tree, "f/device.bin", bytesOfSize(1000, 'd'));
    flipBit(scene.f + "/device.bin");
    ASSERT_EQ(::unlink((scene.b + "/photo.jpg").c_str()), 0);
    ASSERT_EQ(::mkfifo((scene.b + "/photo.jpg").c_str(), 0600), 0);
    if (::mknod((scene.b + "/device.bin").c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) {
        GTEST_SKIP() << "mknod needs root";
    }
    ASSERT_EQ(::symlink("photo.jpg", (scene.b + "/fifo-link").c_str()), 0);
    std::vector<std::string> specialsOpened;
    test::ScriptedSystemCalls scripted;
    scripted.onOpenAt = [&](int dirFd, const char* name, int flags) {
        struct stat info = {};
        if ((flags & O_PATH) == 0 && ::fstatat(dirFd, name, &info, 0) == 0 &&
            !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            specialsOpened.emplace_back(name);
        }
        return scripted.SystemCalls::openAt(dirFd, name, flags);
    };
    const std::string lines =
        "❌ No intact copy of " + scene.f + "/device.bin\n❌ No intact copy of " + scene.photo + "\n";
    EXPECT_EQ(runFromRoot({"repair", "--dry-run", "--from", scene.b, scene.f}),
              (Outcome{1, lines + "Would repair 0 of 2 damaged files in " + scene.f + ".\n", ""}));
    EXPECT_EQ(runFromRoot({"repair", "--from", scene.b, scene.f}),
              (Outcome{1, lines + summaryOf(0, 2, scene.f), ""}));
    EXPECT_EQ(specialsOpened, std::vector<std::string>{});
}

// The last look before the exchange sees a change that keeps size, inode and
// modification time, and a file renamed into the name.
TEST(RepairAttack, SwapsNothingWhenTheFileChangesWhileTheNewOneIsWritten)
{
    for (const bool renamedIn : {false, true}) {
        DamagedPhoto scene;
        std::string changed = scene.damaged;
        changed[0] = static_cast<char>(changed[0] ^ 1);
        const std::string other = scene.tree.file("other.jpg", changed);
        bool done = false;
        test::ScriptedSystemCalls scripted;
        scripted.onChange = [&](std::string_view call) {
            if (call == "write" && !done) {
                done = true;
                struct stat before = {};
                EXPECT_EQ(::stat(scene.photo.c_str(), &before), 0);
                if (renamedIn) {
                    EXPECT_EQ(::rename(other.c_str(), scene.photo.c_str()), 0);
                } else {
                    test::writeWholeFile(scene.photo, changed);
                }
                const timespec times[2] = {before.st_atim, before.st_mtim};
                EXPECT_EQ(::utimensat(AT_FDCWD, scene.photo.c_str(), times, 0), 0);
            }
            return 0;
        };
        EXPECT_EQ(runFromRoot({"repair", "--from", scene.b, scene.f}),
                  (Outcome{1,
                           scene.failedLine("the file changed since it was checked") +
                               summaryOf(0, 1, scene.f),
                           ""}))
            << renamedIn;
        EXPECT_EQ(test::readWholeFile(scene.photo), changed) << renamedIn;
        EXPECT_EQ(namesIn(scene.f), std::vector<std::string>{"photo.jpg"}) << renamedIn;
    }
}

std::string base64(std::string_view bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// A dry run makes no call that writes, and names that are not UTF-8 reach
// the JSON report whole.
TEST(RepairAttack, DryRunWritesNothingAndReportsRawNames)
{
    test::TempTree tree;
    const std::string f = tree.folder("f\xff");
    const std::string b = tree.folder("b\xfe");
    const std::string intact = bytesOfSize(3000, 'n');
    tagged(tree, "f\xff/photo.jpg", intact);
    ASSERT_EQ(shell("cp -a '" + f + "'/. '" + b + "'"), 0);
    flipBit(f + "/photo.jpg");
    std::vector<std::string> writes;
    test::ScriptedSystemCalls scripted;
    scripted.onChange = [&](std::string_view call) {
        writes.emplace_back(call);
        return 0;
    };
    const auto [status, out, err] = runFromRoot({"repair", "--dry-run", "--json", "--from", b, f});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(writes, std::vector<std::string>{});
    std::istringstream lines(out);
    std::string fileLine;
    std::string summaryLine;
    std::getline(lines, fileLine);
    std::getline(lines, summaryLine);
    const auto file = nlohmann::json::parse(fileLine);
    const auto summary = nlohmann::json::parse(summaryLine);
    EXPECT_EQ(file["result"], "would-repair");
    EXPECT_EQ(file["path_base64"], base64(f + "/photo.jpg"));
    EXPECT_EQ(file["copy_base64"], base64(b + "/photo.jpg"));
    EXPECT_EQ(summary["folder_base64"], base64(f));
}

} // namespace
} // namespace quelby::cli
