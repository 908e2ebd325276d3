// SecretStore: deleting generic passwords from the user's secret service (the desktop keyring
// on the D-Bus session bus, reached through libsecret). Items are matched by their "service"
// and "account" attributes, whatever schema stored them; their secrets are never read.
//
// The deletion never asks the user anything and never starts a service:
//   - no session bus, or no secret service running on it, means there is nothing to delete:
//     the result is `notFound`, not a failure (headless machines, remote shells, CI);
//   - items are searched without unlocking them, and only the items found are deleted;
//   - a service that wants to prompt before a deletion is told no (its prompt is dismissed)
//     and the deletion fails;
//   - the whole call is bounded by `timeout`: past it, the call is cancelled and fails.
//
// Thread-safety: callable from any thread; it blocks for up to `timeout`, so call it off the
// main thread.
#pragma once

#include <chrono>
#include <string>

namespace fw::platform {

struct SecretDeletion {
    enum class Outcome {
        // At least one matching item was deleted.
        deleted,
        // No matching item, or no secret service to hold one.
        notFound,
        // The service refused, failed or did not answer in time.
        failed,
    };
    Outcome outcome = Outcome::notFound;
    // For `failed`: the code of the failure as the secret service's library reports it.
    int status = 0;
    // For `failed`: the library's text, for logs.
    std::string message;
};

SecretDeletion deleteGenericPasswords(const std::string& service, const std::string& account,
                                      std::chrono::milliseconds timeout);

}  // namespace fw::platform
