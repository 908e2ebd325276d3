#include "platform/SecretStore.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace fw::platform {
namespace {

constexpr const char* kSecretServiceName = "org.freedesktop.secrets";

// Matches by the two attributes only: the schema name is not part of the search, so items
// stored under any schema (or none) are found.
const SecretSchema kGenericPassword = {
    "org.freedesktop.Secret.Generic",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

SecretDeletion failure(const GError* error) {
    SecretDeletion result;
    result.outcome = SecretDeletion::Outcome::failed;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        result.status = G_IO_ERROR_TIMED_OUT;
        result.message = "The secret service did not answer in time.";
    } else {
        result.status = error->code;
        result.message = error->message;
    }
    return result;
}

// Cancels `cancellable` when `timeout` passes before `finish()`.
class Watchdog {
public:
    Watchdog(GCancellable* cancellable, std::chrono::milliseconds timeout)
        : thread_([this, cancellable, timeout] {
              std::unique_lock lock(mutex_);
              if (!finished_.wait_for(lock, timeout, [this] { return done_; })) {
                  g_cancellable_cancel(cancellable);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_;  // last: starts once the fields above exist
};

// Whether a secret service runs on the bus now. Asking the bus driver starts nothing, so a
// service that could be started on demand is left alone.
bool serviceIsRunning(GDBusConnection* bus, int timeoutMs, GCancellable* cancellable,
                      ErrorPtr& error) {
    GError* raw = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kSecretServiceName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, cancellable, &raw);
    if (reply == nullptr) {
        error.reset(raw);
        return false;
    }
    gboolean running = FALSE;
    g_variant_get(reply, "(b)", &running);
    g_variant_unref(reply);
    return running != FALSE;
}

// Deletes one item without letting the service prompt: a deletion that needs a prompt is
// dismissed and fails with SECRET_ERROR_IS_LOCKED.
bool deleteItem(SecretItem* item, GDBusConnection* bus, int timeoutMs, GCancellable* cancellable,
                ErrorPtr& error) {
    GError* raw = nullptr;
    GVariant* reply = g_dbus_proxy_call_sync(G_DBUS_PROXY(item), "Delete", g_variant_new("()"),
                                             G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs,
                                             cancellable, &raw);
    if (reply == nullptr) {
        error.reset(raw);
        return false;
    }
    const gchar* prompt = nullptr;
    g_variant_get(reply, "(&o)", &prompt);
    const bool needsPrompt = g_strcmp0(prompt, "/") != 0;
    if (needsPrompt) {
        GVariant* dismissed = g_dbus_connection_call_sync(
            bus, kSecretServiceName, prompt, "org.freedesktop.Secret.Prompt", "Dismiss", nullptr,
            nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, cancellable, nullptr);
        if (dismissed != nullptr) {
            g_variant_unref(dismissed);
        }
        error.reset(g_error_new_literal(SECRET_ERROR, SECRET_ERROR_IS_LOCKED,
                                        "The secret service asked to confirm the deletion."));
    }
    g_variant_unref(reply);
    return !needsPrompt;
}

}  // namespace

SecretDeletion deleteGenericPasswords(const std::string& service, const std::string& account,
                                      std::chrono::milliseconds timeout) {
    GObjectPtr<GCancellable> cancellable(g_cancellable_new());
    Watchdog watchdog(cancellable.get(), timeout);
    const int timeoutMs = static_cast<int>(timeout.count());

    GError* raw = nullptr;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable.get(), &raw));
    if (bus == nullptr) {
        ErrorPtr error(raw);
        if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            return failure(error.get());
        }
        return {};  // no session bus: no secret service either
    }
    ErrorPtr error;
    if (!serviceIsRunning(bus.get(), timeoutMs, cancellable.get(), error)) {
        return error != nullptr ? failure(error.get()) : SecretDeletion{};
    }

    GObjectPtr<SecretService> secrets(
        secret_service_get_sync(SECRET_SERVICE_NONE, cancellable.get(), &raw));
    if (secrets == nullptr) {
        error.reset(raw);
        return failure(error.get());
    }
    GHashTable* attributes = secret_attributes_build(&kGenericPassword, "service", service.c_str(),
                                                     "account", account.c_str(), nullptr);
    // No SECRET_SEARCH_UNLOCK: locked items are found as they are, never unlocked.
    GList* items = secret_service_search_sync(secrets.get(), &kGenericPassword, attributes,
                                              SECRET_SEARCH_ALL, cancellable.get(), &raw);
    g_hash_table_unref(attributes);
    if (raw != nullptr) {
        error.reset(raw);
        return failure(error.get());
    }
    SecretDeletion result;
    result.outcome = items != nullptr ? SecretDeletion::Outcome::deleted
                                      : SecretDeletion::Outcome::notFound;
    for (GList* node = items; node != nullptr; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (result.outcome != SecretDeletion::Outcome::failed &&
            !deleteItem(item, bus.get(), timeoutMs, cancellable.get(), error)) {
            result = failure(error.get());
        }
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

}  // namespace fw::platform
