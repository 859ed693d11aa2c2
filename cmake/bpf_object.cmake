# Compiling BPF programs with clang's BPF target, and building an object into
# a program as bytes. Used where the XDP fast path is built (Linux only).

find_program(REFLECTOR_BPF_CLANG NAMES clang clang-19 clang-16 clang-15 clang-14
             DOC "clang with the BPF target, for the XDP fast path")
find_path(REFLECTOR_LIBBPF_INCLUDE_DIR bpf/bpf_helpers.h DOC "libbpf's headers (Debian: libbpf-dev)")
find_library(REFLECTOR_LIBBPF_LIBRARY bpf DOC "libbpf (Debian: libbpf-dev)")

# The kernel's UAPI headers include <asm/types.h>, which Debian keeps under
# the host's multiarch directory; the BPF target does not look there.
# Cached, so that the function works wherever it is called from.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(reflector_bpf_asm_include /usr/include/${CMAKE_LIBRARY_ARCHITECTURE} CACHE INTERNAL "")
else()
  set(reflector_bpf_asm_include /usr/include/x86_64-linux-gnu CACHE INTERNAL "")
endif()

# reflector_bpf_object(OUTPUT <object> SOURCE <file.bpf.c> [INCLUDES dirs...])
function(reflector_bpf_object)
  cmake_parse_arguments(arg "" "OUTPUT;SOURCE" "INCLUDES" ${ARGN})
  set(include_flags)
  foreach(dir ${arg_INCLUDES})
    list(APPEND include_flags -I${dir})
  endforeach()
  add_custom_command(
    OUTPUT ${arg_OUTPUT}
    COMMAND ${REFLECTOR_BPF_CLANG} -target bpf -O2 -g -Wall -Wextra -Werror
            -I${reflector_bpf_asm_include} -I${REFLECTOR_LIBBPF_INCLUDE_DIR} ${include_flags}
            -c ${arg_SOURCE} -o ${arg_OUTPUT}
    DEPENDS ${arg_SOURCE} ${PROJECT_SOURCE_DIR}/platform/xdp/fast_path_layout.h
    COMMENT "BPF object ${arg_OUTPUT}"
    VERBATIM)
endfunction()

# reflector_embed_object(OUTPUT <file.cpp> OBJECT <object> SYMBOL <name>)
# writes a C++ source defining std::span<const unsigned char> <name>().
function(reflector_embed_object)
  cmake_parse_arguments(arg "" "OUTPUT;OBJECT;SYMBOL;NAMESPACE" "" ${ARGN})
  add_custom_command(
    OUTPUT ${arg_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DOBJECT=${arg_OBJECT} -DOUTPUT=${arg_OUTPUT}
            -DSYMBOL=${arg_SYMBOL} -DNAMESPACE=${arg_NAMESPACE}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_object.cmake
    DEPENDS ${arg_OBJECT} ${PROJECT_SOURCE_DIR}/cmake/embed_object.cmake
    VERBATIM)
endfunction()
