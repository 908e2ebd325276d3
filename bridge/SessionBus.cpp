#include "bridge/SessionBus.h"

#include <gio/gio.h>

#include <cstdlib>
#include <string_view>

#include "bridge/BridgeError.h"

namespace fw::bridge {

namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";

// The time left before `deadline` in whole milliseconds, at least one; the deadline when none is
// left.
int timeoutMilliseconds(MonotonicTime deadline) {
    const std::uint64_t left = timeLeft(deadline);
    if (left == 0) {
        throw BridgeError::startupDeadline();
    }
    return static_cast<int>((left + 999'999u) / 1'000'000u);
}

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
};

struct VariantHolder {
    GVariant* value = nullptr;
    ~VariantHolder() {
        if (value != nullptr) {
            g_variant_unref(value);
        }
    }
};

// The number that ends a bus message such as "Process x exited with status 3".
std::optional<int> trailingNumber(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '.' || text[end - 1] == ' ')) {
        --end;
    }
    std::size_t begin = end;
    while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9') {
        --begin;
    }
    if (begin == end || end - begin > 9) {
        return std::nullopt;
    }
    return std::atoi(std::string(text.substr(begin, end - begin)).c_str());
}

}  // namespace

struct SessionBus::Connection {
    GDBusConnection* bus = nullptr;
    ~Connection() {
        if (bus != nullptr) {
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
    }

    // Calls a method of the bus itself; the reply, or the error in `error`.
    GVariant* call(const char* method, GVariant* parameters, const GVariantType* replyType,
                   MonotonicTime deadline, GError** error) {
        return g_dbus_connection_call_sync(bus, kBusName, kBusPath, kBusInterface, method,
                                           parameters, replyType, G_DBUS_CALL_FLAGS_NONE,
                                           timeoutMilliseconds(deadline), nullptr, error);
    }
};

SessionBus::SessionBus(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

SessionBus::~SessionBus() = default;

std::unique_ptr<SessionBus> SessionBus::connect(const std::string& address) {
    ErrorHolder failure;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &failure.error);
    if (bus == nullptr) {
        return nullptr;
    }
    // Nothing of this process ends when the bus goes away.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    auto connection = std::make_unique<Connection>();
    connection->bus = bus;
    return std::unique_ptr<SessionBus>(new SessionBus(std::move(connection)));
}

SessionBus::Activation SessionBus::startService(const std::string& name, MonotonicTime deadline) {
    ErrorHolder failure;
    VariantHolder reply;
    reply.value = connection_->call("StartServiceByName", g_variant_new("(su)", name.c_str(), 0u),
                                    G_VARIANT_TYPE("(u)"), deadline, &failure.error);
    Activation activation;
    if (reply.value != nullptr) {
        activation.outcome = Activation::Outcome::started;
        return activation;
    }
    if (g_error_matches(failure.error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        throw BridgeError::startupDeadline();
    }
    gchar* remote = g_dbus_error_get_remote_error(failure.error);
    const std::string errorName = remote != nullptr ? remote : "";
    g_free(remote);
    g_dbus_error_strip_remote_error(failure.error);
    activation.message = failure.error->message;
    if (errorName == "org.freedesktop.DBus.Error.ServiceUnknown") {
        activation.outcome = Activation::Outcome::unknownName;
    } else if (errorName == "org.freedesktop.DBus.Error.Spawn.ChildExited") {
        activation.outcome = Activation::Outcome::childExited;
        activation.number = trailingNumber(activation.message);
    } else if (errorName == "org.freedesktop.DBus.Error.Spawn.ChildSignaled") {
        activation.outcome = Activation::Outcome::childSignaled;
        activation.number = trailingNumber(activation.message);
    } else if (errorName == "org.freedesktop.DBus.Error.TimedOut" ||
               errorName == "org.freedesktop.DBus.Error.NoReply") {
        throw BridgeError::startupDeadline();
    }
    return activation;
}

void SessionBus::reloadConfiguration(MonotonicTime deadline) {
    ErrorHolder failure;
    VariantHolder reply;
    reply.value = connection_->call("ReloadConfig", nullptr, nullptr, deadline, &failure.error);
}

std::optional<pid_t> SessionBus::ownerProcess(const std::string& name, MonotonicTime deadline) {
    ErrorHolder failure;
    VariantHolder reply;
    reply.value =
        connection_->call("GetConnectionUnixProcessID", g_variant_new("(s)", name.c_str()),
                          G_VARIANT_TYPE("(u)"), deadline, &failure.error);
    if (reply.value == nullptr) {
        return std::nullopt;
    }
    guint32 pid = 0;
    g_variant_get(reply.value, "(u)", &pid);
    if (pid == 0) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

}  // namespace fw::bridge
