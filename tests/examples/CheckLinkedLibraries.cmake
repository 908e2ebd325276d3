# Fails when PROGRAM links any of the libraries named in FORBIDDEN_NEEDED (shared libraries it
# loads) or holds code whose symbols match FORBIDDEN_SYMBOLS (from static libraries).
#
#   cmake -DPROGRAM=path -DFORBIDDEN_NEEDED="libssl;libcrypto" -DFORBIDDEN_SYMBOLS="boost::beast"
#         -P CheckLinkedLibraries.cmake
execute_process(COMMAND readelf --dynamic --wide "${PROGRAM}"
    OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf could not read ${PROGRAM}.")
endif()
foreach(library IN LISTS FORBIDDEN_NEEDED)
    string(REGEX MATCH "\\(NEEDED\\)[^\n]*\\[${library}[^]]*\\]" found "${dynamic}")
    if(found)
        message(FATAL_ERROR "${PROGRAM} loads ${library}: ${found}")
    endif()
endforeach()

execute_process(COMMAND nm --demangle --defined-only "${PROGRAM}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm could not read ${PROGRAM}.")
endif()
foreach(pattern IN LISTS FORBIDDEN_SYMBOLS)
    string(REGEX MATCH "[^\n]*${pattern}[^\n]*" found "${symbols}")
    if(found)
        message(FATAL_ERROR "${PROGRAM} holds code of ${pattern}: ${found}")
    endif()
endforeach()
