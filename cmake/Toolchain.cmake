# Compiler settings shared by every target: warnings, sanitizers, ccache.

find_program(FW_CCACHE ccache)
if(FW_CCACHE)
    set(CMAKE_C_COMPILER_LAUNCHER "${FW_CCACHE}")
    set(CMAKE_CXX_COMPILER_LAUNCHER "${FW_CCACHE}")
endif()

# Everything is linked into executables, where no symbol is ever interposed: the compiler may
# inline and specialise a library's own functions across their calls, as it would without -fPIC.
add_compile_options(-fno-semantic-interposition)

add_library(fw_warnings INTERFACE)
target_compile_options(fw_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(FW_WERROR)
    target_compile_options(fw_warnings INTERFACE -Werror)
endif()

if(FW_SANITIZE)
    set(fw_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer)
    add_compile_options(${fw_sanitize_flags} -O1)
    add_link_options(${fw_sanitize_flags})
endif()

if(FW_FUZZ)
    # Coverage feedback for libFuzzer in every library; the harnesses link libFuzzer itself.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Every target of the project links this for its compiler settings.
function(fw_target_defaults target)
    target_link_libraries(${target} PRIVATE fw_warnings)
endfunction()
