// A child process for the secret-store tests: each run gets the session bus of its own
// environment (libsecret and GLib keep one bus per process).
//
//   secret_probe store <service> <account> [default]
//                                            stores an item in the session collection (or the
//                                            default one)
//   secret_probe delete <service> <account> [timeout in ms]
//                                            prints "deleted", "notFound" or "failed <code>"
#include <libsecret/secret.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/SecretStore.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: secret_probe store|delete <service> <account> [default]\n");
        return 2;
    }
    if (std::strcmp(argv[1], "store") == 0) {
        // Stored under a schema of another name: matching must go by the attributes alone.
        static const SecretSchema schema = {
            "org.example.Credential",
            SECRET_SCHEMA_NONE,
            {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
             {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
             {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
            0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        GError* error = nullptr;
        const gboolean stored = secret_password_store_sync(
            &schema, argc == 5 ? SECRET_COLLECTION_DEFAULT : SECRET_COLLECTION_SESSION, "test item", "secret", nullptr, &error,
            "service", argv[2], "account", argv[3], nullptr);
        if (!stored) {
            std::fprintf(stderr, "store failed: %s\n", error != nullptr ? error->message : "?");
            return 1;
        }
        std::printf("stored\n");
        return 0;
    }
    const std::chrono::milliseconds timeout(argc == 5 ? std::atoi(argv[4]) : 10000);
    const fw::platform::SecretDeletion result =
        fw::platform::deleteGenericPasswords(argv[2], argv[3], timeout);
    switch (result.outcome) {
        case fw::platform::SecretDeletion::Outcome::deleted:
            std::printf("deleted\n");
            break;
        case fw::platform::SecretDeletion::Outcome::notFound:
            std::printf("notFound\n");
            break;
        case fw::platform::SecretDeletion::Outcome::failed:
            std::printf("failed %d %s\n", result.status, result.message.c_str());
            break;
    }
    return 0;
}
