# reflector_usable_sysroot(SOURCE COPY RESULT)
#
# Sets RESULT to a sysroot the compiler can use. A sysroot copied without its
# symbolic links holds each link as a small file whose whole content is the
# path it pointed to (usr/include/fcntl.h holding "sys/fcntl.h", usr/lib
# holding "../lib"). Such a sysroot is copied once to COPY with the links
# made again; a sysroot with real links is used where it is.
function(reflector_usable_sysroot source copy result)
  if(NOT EXISTS "${source}/usr/include/sys/cpuset.h")
    message(FATAL_ERROR "No FreeBSD sysroot at ${source}: set REFLECTOR_FREEBSD_SYSROOT "
                        "to a directory holding FreeBSD's usr/include and lib")
  endif()
  _reflector_link_target("${source}/usr/include/fcntl.h" fcntl_target)
  if(NOT fcntl_target)
    set(${result} "${source}" PARENT_SCOPE)
    return()
  endif()

  set(stamp "${copy}/.copied-from")
  if(EXISTS "${stamp}")
    file(READ "${stamp}" copied_from)
    if(copied_from STREQUAL source)
      set(${result} "${copy}" PARENT_SCOPE)
      return()
    endif()
  endif()

  message(STATUS "Copying the FreeBSD sysroot to ${copy}, with its symbolic links")
  file(REMOVE_RECURSE "${copy}")
  file(COPY "${source}/" DESTINATION "${copy}" NO_SOURCE_PERMISSIONS)
  file(GLOB_RECURSE files LIST_DIRECTORIES false "${copy}/*")
  set(links 0)
  foreach(file ${files})
    _reflector_link_target("${file}" target)
    if(target)
      file(REMOVE "${file}")
      file(CREATE_LINK "${target}" "${file}" SYMBOLIC)
      math(EXPR links "${links} + 1")
    endif()
  endforeach()
  message(STATUS "Restored ${links} symbolic links in the FreeBSD sysroot")
  file(WRITE "${stamp}" "${source}")
  set(${result} "${copy}" PARENT_SCOPE)
endfunction()

# Sets OUT to the path a stored link names, or to "" when FILE is a real file
# (or already a link).
function(_reflector_link_target file out)
  set(${out} "" PARENT_SCOPE)
  if(IS_SYMLINK "${file}")
    return()
  endif()
  file(SIZE "${file}" size)
  if(size GREATER 200)
    return()
  endif()
  file(READ "${file}" text)
  get_filename_component(directory "${file}" DIRECTORY)
  if(text MATCHES "^[A-Za-z0-9_.+/-]+$" AND EXISTS "${directory}/${text}")
    set(${out} "${text}" PARENT_SCOPE)
  endif()
endfunction()
