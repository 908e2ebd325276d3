# Writes the signature record of one executable (run by fw_sign_executable after each link).
# Inputs: FW_OPENSSL, FW_KEY, FW_EXECUTABLE, FW_IDENTIFIER, FW_RECORD.
file(SHA256 "${FW_EXECUTABLE}" digest)
string(TOLOWER "${digest}" digest)
set(payload "FWV-SIGNATURE/1\nidentifier ${FW_IDENTIFIER}\nsha256 ${digest}\n")
set(payload_file "${FW_RECORD}.payload")
set(signature_file "${FW_RECORD}.der")
file(WRITE "${payload_file}" "${payload}")
execute_process(
    COMMAND "${FW_OPENSSL}" dgst -sha256 -sign "${FW_KEY}" -out "${signature_file}" "${payload_file}"
    RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0)
    file(REMOVE "${payload_file}" "${signature_file}")
    message(FATAL_ERROR "Could not sign ${FW_EXECUTABLE}: ${error}")
endif()
file(READ "${signature_file}" signature HEX)
file(REMOVE "${payload_file}" "${signature_file}")
file(WRITE "${FW_RECORD}.tmp" "${payload}signature ${signature}\n")
file(RENAME "${FW_RECORD}.tmp" "${FW_RECORD}")
