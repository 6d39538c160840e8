#include "desktop_notification.h"

#include "engine/text/display_text.h"

#include <cstring>
#include <memory>
#include <systemd/sd-bus.h>

namespace quelby::cli {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kObject = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kDesktopEntry = "co.mossgroveware.Quelby";
// A scrub runs unattended; a server that answers in neither of these is not
// going to, and the run must go on.
constexpr std::uint64_t kCallTimeoutUs = 5'000'000;
// Found damage is what nobody may miss: critical notifications stay until
// they are dismissed.
constexpr std::uint8_t kUrgencyCritical = 2;

struct BusUnref
{
    void operator()(sd_bus* bus) const { ::sd_bus_flush_close_unref(bus); }
};
struct MessageUnref
{
    void operator()(sd_bus_message* message) const { ::sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Frees the error's texts whatever way the function leaves.
class BusError
{
public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { ::sd_bus_error_free(&error_); }

    sd_bus_error* get() { return &error_; }
    // The server's own words when it sent some, the OS's otherwise.
    std::string reason(int code) const
    {
        if (error_.message != nullptr && error_.message[0] != '\0') {
            return error_.message;
        }
        if (error_.name != nullptr) {
            return error_.name;
        }
        return std::strerror(-code);
    }

private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

std::string markupEscaped(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Whether the server reads the body as markup; an error when nobody answers.
std::expected<bool, std::string> takesMarkup(sd_bus* bus)
{
    sd_bus_message* call = nullptr;
    int code = ::sd_bus_message_new_method_call(bus, &call, kService, kObject, kInterface,
                                                "GetCapabilities");
    const Message callOwner(call);
    BusError error;
    sd_bus_message* reply = nullptr;
    if (code >= 0) {
        code = ::sd_bus_call(bus, call, kCallTimeoutUs, error.get(), &reply);
    }
    const Message replyOwner(reply);
    if (code < 0) {
        return std::unexpected("no notification server: " + error.reason(code));
    }
    char** capabilities = nullptr;
    code = ::sd_bus_message_read_strv(reply, &capabilities);
    if (code < 0) {
        return std::unexpected("no notification server: " + error.reason(code));
    }
    bool markup = false;
    for (char** capability = capabilities; capability != nullptr && *capability != nullptr;
         ++capability) {
        markup = markup || std::strcmp(*capability, "body-markup") == 0;
        std::free(*capability);
    }
    std::free(capabilities);
    return markup;
}

} // namespace

std::string notificationBody(std::string_view folder, std::int64_t problems, bool markup)
{
    const std::string shownFolder =
        markup ? markupEscaped(escapedForReport(folder)) : escapedForReport(folder);
    if (problems == 1) {
        return "1 file in " + shownFolder + " differs from its digest or could not be read.";
    }
    return std::to_string(problems) + " files in " + shownFolder +
           " differ from their digests or could not be read.";
}

std::expected<void, std::string> notifyDesktop(std::string_view folder, std::int64_t problems)
{
    sd_bus* opened = nullptr;
    const int openCode = ::sd_bus_open_user(&opened);
    const Bus bus(opened);
    if (openCode < 0) {
        return std::unexpected("no session bus: " + std::string(std::strerror(-openCode)));
    }
    const auto markup = takesMarkup(bus.get());
    if (!markup) {
        return std::unexpected(markup.error());
    }
    const std::string body = notificationBody(folder, problems, *markup);
    const std::string summary(kNotificationSummary);

    sd_bus_message* call = nullptr;
    int code =
        ::sd_bus_message_new_method_call(bus.get(), &call, kService, kObject, kInterface, "Notify");
    const Message callOwner(call);
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    if (code >= 0) {
        code = ::sd_bus_message_append(call, "susss", "Quelby", 0U, kDesktopEntry, summary.c_str(),
                                       body.c_str());
    }
    if (code >= 0) {
        code = ::sd_bus_message_append(call, "as", 0);
    }
    if (code >= 0) {
        code = ::sd_bus_message_append(call, "a{sv}", 2, "desktop-entry", "s", kDesktopEntry,
                                       "urgency", "y", kUrgencyCritical);
    }
    if (code >= 0) {
        code = ::sd_bus_message_append(call, "i", -1);
    }
    BusError error;
    sd_bus_message* reply = nullptr;
    if (code >= 0) {
        code = ::sd_bus_call(bus.get(), call, kCallTimeoutUs, error.get(), &reply);
    }
    const Message replyOwner(reply);
    if (code < 0) {
        return std::unexpected("the notification server did not show it: " + error.reason(code));
    }
    return {};
}

} // namespace quelby::cli
