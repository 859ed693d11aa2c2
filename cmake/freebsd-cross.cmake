# Cross build for FreeBSD/amd64 with clang and lld, against a FreeBSD sysroot
# (its /usr/include, libc++ headers and C library). Nothing built here can
# run on this machine: the build shows that the tree compiles for FreeBSD and
# that the programs link against FreeBSD's C library and libthr.
#
#   REFLECTOR_FREEBSD_SYSROOT  the sysroot; by default the environment
#                              variable of that name, else
#                              ../shared/freebsd-sysroot beside the project.
#
# The sysroot has no C++ runtime library (libc++, libcxxrt): each program is
# linked against a stand-in generated from its own undefined C++-runtime
# symbols (freebsd/link-with-runtime-stub), and nothing else is stood in for.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 13.4)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT REFLECTOR_FREEBSD_SYSROOT)
  if(NOT "$ENV{REFLECTOR_FREEBSD_SYSROOT}" STREQUAL "")
    set(REFLECTOR_FREEBSD_SYSROOT "$ENV{REFLECTOR_FREEBSD_SYSROOT}")
  else()
    set(REFLECTOR_FREEBSD_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../shared/freebsd-sysroot")
  endif()
endif()
get_filename_component(REFLECTOR_FREEBSD_SYSROOT "${REFLECTOR_FREEBSD_SYSROOT}" ABSOLUTE)
set(REFLECTOR_FREEBSD_SYSROOT "${REFLECTOR_FREEBSD_SYSROOT}" CACHE PATH "FreeBSD sysroot" FORCE)

include(${CMAKE_CURRENT_LIST_DIR}/freebsd/usable_sysroot.cmake)
if(NOT REFLECTOR_FREEBSD_USABLE_SYSROOT)
  reflector_usable_sysroot("${REFLECTOR_FREEBSD_SYSROOT}" "${CMAKE_BINARY_DIR}/freebsd-sysroot"
                           REFLECTOR_FREEBSD_USABLE_SYSROOT)
endif()
set(sysroot "${REFLECTOR_FREEBSD_USABLE_SYSROOT}")

find_program(REFLECTOR_CROSS_CLANG NAMES clang++-19 clang++ REQUIRED)
find_program(REFLECTOR_CROSS_CLANG_C NAMES clang-19 clang REQUIRED)
find_program(REFLECTOR_CROSS_LLD NAMES ld.lld-19 ld.lld REQUIRED)
set(CMAKE_CXX_COMPILER "${REFLECTOR_CROSS_CLANG}")
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd13.4)
# Only for projects brought in (GoogleTest enables C); the tree itself is C++.
set(CMAKE_C_COMPILER "${REFLECTOR_CROSS_CLANG_C}")
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-freebsd13.4)
set(CMAKE_SYSROOT "${sysroot}")
# FreeBSD's own libc++ headers, not the build machine's.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${sysroot}/usr/include/c++/v1")
# <sys/user.h> (struct kinfo_proc) includes vm/ headers that this sysroot may
# lack; empty stand-ins fill the gap, searched only after the sysroot's own.
if(NOT EXISTS "${sysroot}/usr/include/vm/vm.h")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${CMAKE_CURRENT_LIST_DIR}/freebsd/sysroot-gaps")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=${REFLECTOR_CROSS_LLD}")

# Compiler checks compile only: a test link would need the C++ runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     REFLECTOR_FREEBSD_SYSROOT REFLECTOR_FREEBSD_USABLE_SYSROOT)

set(CMAKE_CXX_LINK_EXECUTABLE
    "${CMAKE_CURRENT_LIST_DIR}/freebsd/link-with-runtime-stub <CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH "${sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
