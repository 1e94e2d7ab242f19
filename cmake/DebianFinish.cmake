# CPack post-build script: finishes the packages as debhelper would, where
# CPack 3.25 falls short. Each package with something to mend is unpacked,
# mended and packed again (dpkg-deb), before CPack copies it out.
# - Binaries without the compiler's notes, as dh_strip leaves them.
# - A library's package lets dpkg's ldconfig trigger run ldconfig, instead of
#   maintainer scripts that call it.
# - A debug package (.ddeb): the debugging information not executable
#   (dh_strip; left uncompressed, as the binary's debug link has the checksum
#   of the file as it is), its md5sums with paths inside the package (CPack
#   writes the build folder's), and /usr/share/doc/<package>-dbgsym a link to
#   the doc folder of the package it belongs to, which it depends on.
find_program(DPKG_DEB dpkg-deb REQUIRED)
find_program(OBJCOPY objcopy REQUIRED)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE failed ERROR_VARIABLE error)
  if(failed)
    message(FATAL_ERROR "${ARGV}: ${error}")
  endif()
endfunction()

# md5sums of every regular file, and Installed-Size in KiB as dpkg-gencontrol
# counts it (each file rounded up, one for each link and folder).
function(write_md5sums_and_size root)
  file(GLOB_RECURSE files LIST_DIRECTORIES true RELATIVE "${root}" "${root}/usr/*")
  list(SORT files)
  set(sums "")
  set(size 0)
  foreach(f IN LISTS files)
    if(IS_SYMLINK "${root}/${f}" OR IS_DIRECTORY "${root}/${f}")
      math(EXPR size "${size} + 1")
    else()
      file(MD5 "${root}/${f}" sum)
      string(APPEND sums "${sum}  ${f}\n")
      file(SIZE "${root}/${f}" bytes)
      math(EXPR size "${size} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${sums}")
  file(READ "${root}/DEBIAN/control" control)
  string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${size}" control "${control}")
  file(WRITE "${root}/DEBIAN/control" "${control}")
endfunction()

foreach(package_file IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${DPKG_DEB} -f "${package_file}" Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(root "${package_file}.root")
  file(REMOVE_RECURSE "${root}")
  run(${DPKG_DEB} -R "${package_file}" "${root}")
  set(mended FALSE)

  # Stripped binaries keep no compiler notes (.comment, .note), as dh_strip
  # leaves them; the build ID note stays.
  if(NOT package MATCHES "-dbgsym$")
    file(GLOB_RECURSE files LIST_DIRECTORIES false "${root}/usr/*")
    foreach(f IN LISTS files)
      if(NOT IS_SYMLINK "${f}")
        file(READ "${f}" magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
          run(${OBJCOPY} --remove-section=.comment --remove-section=.note "${f}")
          set(mended TRUE)
        endif()
      endif()
    endforeach()
    if(mended)
      write_md5sums_and_size("${root}")
    endif()
  endif()

  if(EXISTS "${root}/DEBIAN/shlibs")
    file(REMOVE "${root}/DEBIAN/postinst" "${root}/DEBIAN/postrm")
    file(WRITE "${root}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    set(mended TRUE)
  endif()

  if(package MATCHES "^(.+)-dbgsym$")
    file(GLOB_RECURSE debug_files "${root}/usr/lib/debug/*.debug")
    foreach(f IN LISTS debug_files)
      file(CHMOD "${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endforeach()
    file(MAKE_DIRECTORY "${root}/usr/share/doc")
    file(CREATE_LINK "${CMAKE_MATCH_1}" "${root}/usr/share/doc/${package}" SYMBOLIC)
    write_md5sums_and_size("${root}")
    set(mended TRUE)
  endif()

  if(mended)
    run(${DPKG_DEB} --root-owner-group -Zxz -b "${root}" "${package_file}")
  endif()
  file(REMOVE_RECURSE "${root}")
endforeach()
