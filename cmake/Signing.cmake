# Code signing of the build's own programs.
#
# When the build is configured it makes the team's key pair (ECDSA P-256) in its own tree, once:
# the private key stays in <build>/signing/ (mode 0600, never part of the sources), the public key
# is compiled into every program that checks signatures (fw_local_automation). After each link,
# fw_sign_executable() writes the executable's signature record "<executable>.sig"
# (LocalAutomation/CodeSignature.h describes it). Nothing switches signing or checking off.

find_program(FW_OPENSSL_EXECUTABLE openssl REQUIRED)

set(FW_SIGNING_DIR "${CMAKE_BINARY_DIR}/signing")
set(FW_SIGNING_KEY "${FW_SIGNING_DIR}/team-key.pem")
set(FW_SIGNING_PUBLIC_KEY "${FW_SIGNING_DIR}/team-public-key.der")
file(MAKE_DIRECTORY "${FW_SIGNING_DIR}")
if(NOT EXISTS "${FW_SIGNING_KEY}")
    execute_process(
        COMMAND "${FW_OPENSSL_EXECUTABLE}" genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256
                -out "${FW_SIGNING_KEY}"
        RESULT_VARIABLE fw_keygen_result OUTPUT_QUIET ERROR_VARIABLE fw_keygen_error)
    if(NOT fw_keygen_result EQUAL 0)
        message(FATAL_ERROR "Could not make the signing key: ${fw_keygen_error}")
    endif()
endif()
file(CHMOD "${FW_SIGNING_KEY}" PERMISSIONS OWNER_READ OWNER_WRITE)
execute_process(
    COMMAND "${FW_OPENSSL_EXECUTABLE}" pkey -in "${FW_SIGNING_KEY}" -pubout -outform DER
            -out "${FW_SIGNING_PUBLIC_KEY}"
    RESULT_VARIABLE fw_pubkey_result OUTPUT_QUIET ERROR_VARIABLE fw_pubkey_error)
if(NOT fw_pubkey_result EQUAL 0)
    message(FATAL_ERROR "Could not read the signing key: ${fw_pubkey_error}")
endif()

# The public key as a C++ source.
file(READ "${FW_SIGNING_PUBLIC_KEY}" fw_public_key_hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," fw_public_key_bytes "${fw_public_key_hex}")
set(FW_SIGNING_KEY_SOURCE "${FW_SIGNING_DIR}/SigningKey.cpp")
file(CONFIGURE OUTPUT "${FW_SIGNING_KEY_SOURCE}" CONTENT
"// Generated when the build was configured: the team's public key.
#include \"LocalAutomation/SigningKey.h\"

namespace fw::automation {

const unsigned char kTeamPublicKey[] = {@fw_public_key_bytes@};
const std::size_t kTeamPublicKeySize = sizeof kTeamPublicKey;

}  // namespace fw::automation
" @ONLY)

# fw_sign_executable(<target> <identifier> [RECORD <path>])
# Writes the signature record of <target> for <identifier> after every link: beside the program
# ("<file>.sig") unless RECORD names another file. The program is linked as it will be installed
# (no build-tree run path), so that installing it changes no byte the record covers.
function(fw_sign_executable target identifier)
    cmake_parse_arguments(ARG "" "RECORD" "" ${ARGN})
    if(NOT ARG_RECORD)
        set(ARG_RECORD "$<TARGET_FILE:${target}>.sig")
    endif()
    set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}"
                "-DFW_OPENSSL=${FW_OPENSSL_EXECUTABLE}"
                "-DFW_KEY=${FW_SIGNING_KEY}"
                "-DFW_EXECUTABLE=$<TARGET_FILE:${target}>"
                "-DFW_IDENTIFIER=${identifier}"
                "-DFW_RECORD=${ARG_RECORD}"
                -P "${PROJECT_SOURCE_DIR}/cmake/SignExecutable.cmake"
        VERBATIM)
endfunction()
