// TokenStore: removal of the credential that earlier versions kept for local automation, a
// generic password with service "com.marlowpennet.Frameweaver.mcp" and account
// "local-bearer-token" in the user's secret service. It is only ever deleted, never read.
//
// Thread-safety: any thread; it blocks for up to kTimeout, so run it off the main thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace fw {

inline constexpr const char* kTokenStoreErrorDomain = "TokenStoreErrorDomain";

// The secret service failed to delete the item; `status` is its failure code.
struct TokenStoreError {
    int status = 0;

    // "Could not remove the retired MCP credential from Keychain (<status>)."
    std::string description() const;
    platform::Error toError() const;
};

namespace TokenStore {

inline constexpr const char* kService = "com.marlowpennet.Frameweaver.mcp";
inline constexpr const char* kAccount = "local-bearer-token";
// The longest the secret service may take to answer.
inline constexpr std::chrono::seconds kTimeout{5};

// Deletes the item. A missing item, or no secret service at all, is no failure.
std::optional<TokenStoreError> removeRetiredCredential();

}  // namespace TokenStore
}  // namespace fw
