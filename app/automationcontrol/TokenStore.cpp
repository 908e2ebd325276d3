#include "app/automationcontrol/TokenStore.h"

#include "platform/SecretStore.h"

namespace fw {

std::string TokenStoreError::description() const {
    return "Could not remove the retired MCP credential from Keychain (" + std::to_string(status) +
           ").";
}

platform::Error TokenStoreError::toError() const {
    return platform::Error(kTokenStoreErrorDomain, status, description());
}

std::optional<TokenStoreError> TokenStore::removeRetiredCredential() {
    const platform::SecretDeletion result =
        platform::deleteGenericPasswords(kService, kAccount, kTimeout);
    if (result.outcome == platform::SecretDeletion::Outcome::failed) {
        return TokenStoreError{result.status};
    }
    return std::nullopt;
}

}  // namespace fw
