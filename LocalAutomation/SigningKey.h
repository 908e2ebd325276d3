// The team's public key (DER SubjectPublicKeyInfo, P-256), generated when the build is configured
// and compiled into every program that checks signatures.
#pragma once

#include <cstddef>

namespace fw::automation {

extern const unsigned char kTeamPublicKey[];
extern const std::size_t kTeamPublicKeySize;

}  // namespace fw::automation
