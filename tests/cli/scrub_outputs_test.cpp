// Where a scrub shows up besides its report: the entries the journal
// receives, the service manager's notifications, and the desktop
// notification on a private session bus.

#include "cli/cli.h"
#include "cli/scrub/desktop_notification.h"
#include "cli/scrub/journal.h"
#include "cli/scrub/service_status.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quelby::cli {
namespace {

using test::TempTree;

using Fields = std::vector<std::pair<std::string, std::string>>;

// A datagram socket bound at path.
int boundDatagramSocket(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return -1;
    }
    return fd;
}

// Every datagram waiting on fd. The entries sent here are small enough that
// none arrives as a memory file instead.
std::vector<std::string> waitingDatagrams(int fd)
{
    std::vector<std::string> datagrams;
    std::string data(256 * 1024, '\0');
    for (ssize_t size; (size = ::recv(fd, data.data(), data.size(), MSG_DONTWAIT)) >= 0;) {
        datagrams.emplace_back(data, 0, static_cast<std::size_t>(size));
    }
    return datagrams;
}

// The journal's native protocol: "NAME=value\n", or, for a value that holds
// a line break, "NAME\n", its length as 64 bits little-endian, the value, "\n".
Fields parsedEntry(std::string_view datagram)
{
    Fields fields;
    while (!datagram.empty()) {
        const std::size_t lineEnd = datagram.find('\n');
        const std::size_t equals = datagram.find('=');
        if (equals < lineEnd) {
            fields.emplace_back(std::string(datagram.substr(0, equals)),
                                std::string(datagram.substr(equals + 1, lineEnd - equals - 1)));
            datagram.remove_prefix(lineEnd == std::string_view::npos ? datagram.size()
                                                                     : lineEnd + 1);
            continue;
        }
        std::string name(datagram.substr(0, lineEnd));
        datagram.remove_prefix(lineEnd + 1);
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length =
                length << 8 | static_cast<unsigned char>(datagram[static_cast<std::size_t>(i)]);
        }
        datagram.remove_prefix(8);
        fields.emplace_back(std::move(name), std::string(datagram.substr(0, length)));
        datagram.remove_prefix(length + 1);
    }
    return fields;
}

std::map<std::string, std::string> asMap(const Fields& fields)
{
    return {fields.begin(), fields.end()};
}

void writeAllTo(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

constexpr int kSkipped = 77;

// In a child with its own mount namespace and a tmpfs over the journal's
// folder: sends the entries to a socket of its own at the journal's address
// and writes what arrived to reportFd, each datagram as its length (8 bytes)
// and its bytes. Before that socket is there, the same calls must leave
// standard output and error as they are. Exits kSkipped with the reason when
// the namespace cannot be made.
[[noreturn]] void sendEntriesToAPrivateJournal(int reportFd)
{
    const auto skip = [reportFd](const std::string& what) {
        writeAllTo(reportFd, what + ": " + std::strerror(errno));
        ::_exit(kSkipped);
    };
    if (::unshare(CLONE_NEWNS) != 0) {
        skip("cannot make a mount namespace (needs root)");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        skip("cannot make the mounts private");
    }
    struct stat info
    {};
    const char* mountPoint = ::stat("/run/systemd/journal", &info) == 0 ? "/run/systemd/journal"
                             : ::stat("/run/systemd", &info) == 0       ? "/run/systemd"
                                                                        : "/run";
    if (::mount("tmpfs", mountPoint, "tmpfs", 0, "mode=0755") != 0) {
        skip("cannot mount a tmpfs over the journal's folder");
    }
    ::mkdir("/run/systemd", 0755);
    ::mkdir("/run/systemd/journal", 0755);

    // No journal, and then one that refuses every entry (a file where its
    // socket should be): nothing on standard output or error.
    const int seen = ::memfd_create("output", MFD_CLOEXEC);
    const int savedOut = ::dup(1);
    const int savedErr = ::dup(2);
    ::dup2(seen, 1);
    ::dup2(seen, 2);
    for (const bool refusing : {false, true}) {
        if (refusing) {
            test::writeWholeFile("/run/systemd/journal/socket", "");
        }
        journalProblem(scrub::Problem{"/srv/a", "/srv/a/x", FileResult::differs, std::nullopt});
        journalGone(scrub::Gone{"/srv/a", "/srv/a/x"});
        journalSummary(scrub::FolderSummary{.folder = "/srv/a", .problems = 1}, "Scrubbed\n");
    }
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::unlink("/run/systemd/journal/socket");
    const off_t printed = ::lseek(seen, 0, SEEK_END);
    if (printed != 0) {
        writeAllTo(reportFd, "printed " + std::to_string(printed) + " bytes without a journal");
        ::_exit(1);
    }

    const int journal = boundDatagramSocket("/run/systemd/journal/socket");
    if (journal < 0) {
        skip("cannot bind the journal's socket");
    }
    journalProblem(scrub::Problem{"/home/ada/Pictures", "/home/ada/Pictures/bad\nname\xff.jpg",
                                  FileResult::differs, Verdict::damaged});
    journalProblem(scrub::Problem{"/home/ada/Pictures", "/home/ada/Pictures/locked.jpg",
                                  FileResult::readFailed, std::nullopt});
    journalGone(scrub::Gone{"/home/ada/Pictures", "/home/ada/Pictures/old\nname\xff.jpg"});
    journalSummary(
        scrub::FolderSummary{.folder = "/home/ada/Pictures",
                             .verified = 120,
                             .problems = 2,
                             .files = 5678,
                             .noDigest = 7,
                             .percent = 43,
                             .everyDays = 30,
                             .gone = 1,
                             .bytesRead = 491520,
                             .openProblems = 3},
        "Scrubbed 120 files in /home/ada/Pictures: 2 problems; 43% of its 5678 files "
        "verified in the last 30 days.\n");
    journalSummary(scrub::FolderSummary{.folder = "/srv/b\tc", .verified = 4, .problems = 0},
                   "Scrubbed 4 files\n");
    for (const std::string& datagram : waitingDatagrams(journal)) {
        const std::uint64_t length = datagram.size();
        writeAllTo(reportFd, std::string_view(reinterpret_cast<const char*>(&length), 8));
        writeAllTo(reportFd, datagram);
    }
    ::_exit(0);
}

TEST(ScrubJournal, SendsEachProblemGoneFileAndSummaryAsOneStructuredEntry)
{
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        sendEntriesToAPrivateJournal(report[1]);
    }
    ::close(report[1]);
    std::string received;
    char buffer[65536];
    for (ssize_t size; (size = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(size));
    }
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kSkipped) {
        GTEST_SKIP() << received;
    }
    ASSERT_EQ(WEXITSTATUS(status), 0) << received;

    std::vector<Fields> entries;
    for (std::string_view rest = received; rest.size() >= 8;) {
        std::uint64_t length = 0;
        std::memcpy(&length, rest.data(), 8);
        entries.push_back(parsedEntry(rest.substr(8, length)));
        rest.remove_prefix(8 + length);
    }
    ASSERT_EQ(entries.size(), 5U);

    // Every entry names each field once and is found by journalctl -t quelby-cli.
    for (const Fields& entry : entries) {
        const auto fields = asMap(entry);
        EXPECT_EQ(fields.size(), entry.size());
        EXPECT_EQ(fields.at("SYSLOG_IDENTIFIER"), "quelby-cli");
        EXPECT_EQ(fields.at("MESSAGE_ID").find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(fields.at("MESSAGE_ID").size(), 32U);
    }
    const std::map<std::string, std::string> expected[] = {
        {{"PRIORITY", "3"},
         {"MESSAGE_ID", std::string(scrub::kProblemMessageId)},
         {"MESSAGE", "/home/ada/Pictures/bad\\x0aname\\xff.jpg: differs from its digest"},
         {"QUELBY_FOLDER", "/home/ada/Pictures"},
         {"QUELBY_PATH", "/home/ada/Pictures/bad\\x0aname\\xff.jpg"},
         {"QUELBY_RESULT", "differs"},
         {"QUELBY_VERDICT", "damaged"},
         {"SYSLOG_IDENTIFIER", "quelby-cli"}},
        {{"PRIORITY", "3"},
         {"MESSAGE_ID", std::string(scrub::kProblemMessageId)},
         {"MESSAGE", "/home/ada/Pictures/locked.jpg: could not be read"},
         {"QUELBY_FOLDER", "/home/ada/Pictures"},
         {"QUELBY_PATH", "/home/ada/Pictures/locked.jpg"},
         {"QUELBY_RESULT", "read-failed"},
         {"QUELBY_VERDICT", ""},
         {"SYSLOG_IDENTIFIER", "quelby-cli"}},
        {{"PRIORITY", "4"},
         {"MESSAGE_ID", std::string(scrub::kGoneMessageId)},
         {"MESSAGE", "Gone since the last scrub: /home/ada/Pictures/old\\x0aname\\xff.jpg"},
         {"QUELBY_FOLDER", "/home/ada/Pictures"},
         {"QUELBY_PATH", "/home/ada/Pictures/old\\x0aname\\xff.jpg"},
         {"QUELBY_RESULT", "gone"},
         {"SYSLOG_IDENTIFIER", "quelby-cli"}},
        {{"PRIORITY", "4"},
         {"MESSAGE_ID", std::string(scrub::kSummaryMessageId)},
         {"MESSAGE", "Scrubbed 120 files in /home/ada/Pictures: 2 problems; 43% of its 5678 "
                     "files verified in the last 30 days."},
         {"QUELBY_FOLDER", "/home/ada/Pictures"},
         {"QUELBY_VERIFIED", "120"},
         {"QUELBY_PROBLEMS", "2"},
         {"QUELBY_FILES", "5678"},
         {"QUELBY_PERCENT", "43"},
         {"QUELBY_EVERY_DAYS", "30"},
         {"QUELBY_NO_DIGEST", "7"},
         {"QUELBY_GONE", "1"},
         {"QUELBY_BYTES_READ", "491520"},
         {"QUELBY_OPEN_PROBLEMS", "3"},
         {"SYSLOG_IDENTIFIER", "quelby-cli"}},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(asMap(entries[i]), expected[i]) << "entry " << i;
    }
    // A summary without problems is a notice; the folder is escaped there too.
    const auto quiet = asMap(entries[4]);
    EXPECT_EQ(quiet.at("PRIORITY"), "5");
    EXPECT_EQ(quiet.at("QUELBY_FOLDER"), "/srv/b\\x09c");
    EXPECT_EQ(quiet.at("QUELBY_PROBLEMS"), "0");
}

// Receives what sd_notify sends to NOTIFY_SOCKET.
TEST(ScrubServiceStatus, SaysReadyThenItsProgressAtMostOnceASecond)
{
    const std::pair<std::tuple<std::int64_t, std::int64_t, std::string>, std::string> texts[] = {
        {{1234, 5678, "/home/ada/Pictures"},
         "Verified 1,234 of 5,678 due files in /home/ada/Pictures"},
        {{0, 999, "/srv"}, "Verified 0 of 999 due files in /srv"},
        {{1, 1, "/srv"}, "Verified 1 of 1 due file in /srv"},
        {{1000000, 12345678, "/a\nb\xff"},
         "Verified 1,000,000 of 12,345,678 due files in /a\\x0ab\\xff"},
    };
    for (const auto& [figures, text] : texts) {
        const auto& [verified, due, folder] = figures;
        EXPECT_EQ(serviceStatusText(verified, due, folder), text);
    }

    TempTree tree;
    const std::string socketPath = tree.path("notify");
    const int manager = boundDatagramSocket(socketPath);
    ASSERT_GE(manager, 0) << std::strerror(errno);
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1), 0);
    std::int64_t now = 50'000;
    ServiceStatus status([&now] { return now; });
    status.ready();
    // The millisecond each call is made at, and whether it forces its STATUS out.
    const std::pair<std::int64_t, bool> calls[] = {
        {50'000, false}, {50'400, false}, {50'999, false}, {51'000, false},
        {51'200, true},  {52'100, false}, {52'200, false},
    };
    std::int64_t verified = 0;
    for (const auto& [at, force] : calls) {
        now = at;
        status.progress(++verified, 10, "/srv", force);
    }
    ::unsetenv("NOTIFY_SOCKET");
    const std::vector<std::string> expected = {
        "READY=1",
        "STATUS=Verified 1 of 10 due files in /srv",
        "STATUS=Verified 4 of 10 due files in /srv",
        "STATUS=Verified 5 of 10 due files in /srv",
        "STATUS=Verified 7 of 10 due files in /srv",
    };
    EXPECT_EQ(waitingDatagrams(manager), expected);

    // Outside a service nothing is sent, and nothing fails.
    ServiceStatus outside;
    outside.ready();
    outside.progress(1, 1, "/srv", true);
    EXPECT_TRUE(waitingDatagrams(manager).empty());
    ::close(manager);
}

// A stand-in org.freedesktop.Notifications on its own connection and thread,
// recording each Notify call.
class FakeNotificationServer
{
public:
    struct Call
    {
        std::string appName;
        std::uint32_t replacesId = 99;
        std::string icon;
        std::string summary;
        std::string body;
        std::vector<std::string> actions;
        std::map<std::string, std::string> hints; // a byte as its number
        std::int32_t expireTimeout = 0;
    };

    FakeNotificationServer(const std::string& address, std::vector<std::string> capabilities)
        : capabilities_(std::move(capabilities))
    {
        std::promise<bool> started;
        auto ready = started.get_future();
        thread_ = std::thread([this, address, &started] { serve(address, started); });
        serving_ = ready.get();
    }
    ~FakeNotificationServer()
    {
        stop_ = true;
        thread_.join();
    }
    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

    bool serving() const { return serving_; }
    std::vector<Call> calls()
    {
        const std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    static int getCapabilities(sd_bus_message* call, void* self, sd_bus_error*)
    {
        const auto& capabilities = static_cast<FakeNotificationServer*>(self)->capabilities_;
        std::vector<char*> list;
        for (const std::string& capability : capabilities) {
            list.push_back(const_cast<char*>(capability.c_str()));
        }
        list.push_back(nullptr);
        sd_bus_message* reply = nullptr;
        int code = ::sd_bus_message_new_method_return(call, &reply);
        if (code >= 0) {
            code = ::sd_bus_message_append_strv(reply, list.data());
        }
        if (code >= 0) {
            code = ::sd_bus_send(nullptr, reply, nullptr);
        }
        ::sd_bus_message_unref(reply);
        return code;
    }

    static int notify(sd_bus_message* call, void* self, sd_bus_error*)
    {
        Call recorded;
        const char* texts[4] = {};
        int code = ::sd_bus_message_read(call, "susss", &texts[0], &recorded.replacesId, &texts[1],
                                         &texts[2], &texts[3]);
        if (code < 0) {
            return code;
        }
        recorded.appName = texts[0];
        recorded.icon = texts[1];
        recorded.summary = texts[2];
        recorded.body = texts[3];
        char** actions = nullptr;
        if ((code = ::sd_bus_message_read_strv(call, &actions)) < 0) {
            return code;
        }
        for (char** action = actions; action != nullptr && *action != nullptr; ++action) {
            recorded.actions.emplace_back(*action);
            std::free(*action);
        }
        std::free(actions);
        if ((code = ::sd_bus_message_enter_container(call, 'a', "{sv}")) < 0) {
            return code;
        }
        while (::sd_bus_message_enter_container(call, 'e', "sv") > 0) {
            const char* key = nullptr;
            const char* type = nullptr;
            ::sd_bus_message_read(call, "s", &key);
            ::sd_bus_message_peek_type(call, nullptr, &type);
            const std::string contents = type;
            ::sd_bus_message_enter_container(call, 'v', contents.c_str());
            if (contents == "s") {
                const char* value = nullptr;
                ::sd_bus_message_read(call, "s", &value);
                recorded.hints[key] = value;
            } else if (contents == "y") {
                std::uint8_t value = 0;
                ::sd_bus_message_read(call, "y", &value);
                recorded.hints[key] = std::to_string(value);
            } else {
                ::sd_bus_message_skip(call, contents.c_str());
                recorded.hints[key] = "of type " + contents;
            }
            ::sd_bus_message_exit_container(call);
            ::sd_bus_message_exit_container(call);
        }
        ::sd_bus_message_exit_container(call);
        if ((code = ::sd_bus_message_read(call, "i", &recorded.expireTimeout)) < 0) {
            return code;
        }
        auto* server = static_cast<FakeNotificationServer*>(self);
        {
            const std::lock_guard lock(server->mutex_);
            server->calls_.push_back(std::move(recorded));
        }
        return ::sd_bus_reply_method_return(call, "u", 7U);
    }

    void serve(const std::string& address, std::promise<bool>& started)
    {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("GetCapabilities", "", "as", getCapabilities, 0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
            SD_BUS_VTABLE_END,
        };
        sd_bus* bus = nullptr;
        bool ok = ::sd_bus_new(&bus) >= 0 && ::sd_bus_set_address(bus, address.c_str()) >= 0 &&
                  ::sd_bus_set_bus_client(bus, 1) >= 0 && ::sd_bus_start(bus) >= 0 &&
                  ::sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                                             "org.freedesktop.Notifications", vtable, this) >= 0 &&
                  ::sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) >= 0;
        started.set_value(ok);
        while (ok && !stop_) {
            const int processed = ::sd_bus_process(bus, nullptr);
            if (processed == 0) {
                ::sd_bus_wait(bus, 50'000);
            }
            ok = processed >= 0;
        }
        ::sd_bus_flush_close_unref(bus);
    }

    std::vector<std::string> capabilities_;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    bool serving_ = false;
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// Sets an environment variable for a scope, restoring what was there.
class ScopedVariable
{
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable()
    {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(ScrubNotification, ReachesTheServerWithItsHintAndMarkupEscapedOnlyWhereItIsRead)
{
    test::PrivateBus daemon;
    if (daemon.address().empty()) {
        GTEST_SKIP() << "dbus-daemon did not start";
    }
    const ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());

    // Nobody serves notifications yet: the bus says so at once.
    const auto unserved = notifyDesktop("/home/ada/Pictures", 2);
    ASSERT_FALSE(unserved.has_value());
    EXPECT_TRUE(unserved.error().starts_with("no notification server: ")) << unserved.error();

    const std::string folder = "/home/ada/R&D <old>\n";
    const struct
    {
        std::vector<std::string> capabilities;
        std::int64_t problems;
        std::string body;
    } rows[] = {
        {{"body"},
         2,
         "2 files in /home/ada/R&D <old>\\x0a differ from their digests or could not be read."},
        {{"body", "body-markup", "actions"},
         1,
         "1 file in /home/ada/R&amp;D &lt;old&gt;\\x0a differs from its digest or could not be "
         "read."},
    };
    for (const auto& row : rows) {
        FakeNotificationServer server(daemon.address(), row.capabilities);
        ASSERT_TRUE(server.serving());
        const auto sent = notifyDesktop(folder, row.problems);
        ASSERT_TRUE(sent.has_value()) << sent.error();
        const auto calls = server.calls();
        ASSERT_EQ(calls.size(), 1U);
        const auto& call = calls.front();
        EXPECT_EQ(call.appName, "Quelby");
        EXPECT_EQ(call.replacesId, 0U);
        EXPECT_EQ(call.icon, "co.mossgroveware.Quelby");
        EXPECT_EQ(call.summary, "Quelby found changed files");
        EXPECT_EQ(call.body, row.body);
        EXPECT_TRUE(call.actions.empty());
        const std::map<std::string, std::string> hints = {
            {"desktop-entry", "co.mossgroveware.Quelby"}, {"urgency", "2"}};
        EXPECT_EQ(call.hints, hints);
        EXPECT_EQ(call.expireTimeout, -1);
    }
}

// A scrub tells the desktop of a problem it finds, and of one still open only a week later.
TEST(ScrubNotification, ComesForANewProblemAndForOneStillOpenAWeekLater)
{
    test::PrivateBus daemon;
    if (daemon.address().empty()) {
        GTEST_SKIP() << "dbus-daemon did not start";
    }
    const ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());
    FakeNotificationServer server(daemon.address(), {"body"});
    ASSERT_TRUE(server.serving());
    test::TempTree tree;
    test::TempTree stateFolder;
    tree.file("a.txt", "alpha");
    const std::string changed = tree.file("b.txt", "beta");
    std::int64_t now = 1'800'000'000;
    CliEnvironment environment;
    environment.wallSeconds = [&now] { return now; };
    const auto run = [&](std::vector<std::string> args) {
        std::ostringstream out;
        std::ostringstream err;
        return cli::run(args, out, err, environment);
    };
    const std::vector<std::string> scrub = {"scrub", "--notify", "--state",
                                            stateFolder.path("scrub.sqlite"), tree.root()};
    ASSERT_EQ(run({"tag", tree.root()}), 0);
    EXPECT_EQ(run(scrub), 0);
    EXPECT_TRUE(server.calls().empty()) << "nothing found, nothing to say";

    test::writeWholeFile(changed, "BETA");
    const struct
    {
        std::int64_t daysLater;
        std::size_t notifications;
    } runs[] = {{0, 1}, {3, 1}, {4, 2}, {1, 2}};
    for (const auto& [daysLater, notifications] : runs) {
        now += daysLater * 86400;
        EXPECT_EQ(run(scrub), 1);
        EXPECT_EQ(server.calls().size(), notifications) << daysLater << " days later";
    }
    EXPECT_EQ(server.calls().front().body,
              "1 file in " + tree.root() + " differs from its digest or could not be read.");
}

TEST(ScrubNotification, SaysThereIsNoSessionBusWhenItsSocketIsMissing)
{
    TempTree tree;
    const ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + tree.path("missing"));
    const ScopedVariable runtime("XDG_RUNTIME_DIR", tree.folder("runtime"));
    const auto sent = notifyDesktop("/home/ada/Pictures", 1);
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error(), "no session bus: No such file or directory");
}

} // namespace
} // namespace quelby::cli
