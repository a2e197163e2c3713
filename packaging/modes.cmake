# Run by cpack before it packs and again once the package is made, so that the
# package does not depend on the umask of whoever builds it. CMake 3.25 makes
# the installed directories, and the members of the .deb's ar archive, with
# modes that follow the umask (0775 under 0002; 0700 under 077, which lintian
# calls non-standard-dir-perm). Debian's modes are 0755 and 0644.

if(NOT DEFINED CPACK_PACKAGE_FILES)
  # Before packing: every directory of the package tree, its top included.
  file(GLOB_RECURSE tree LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  foreach(path "${CPACK_TEMPORARY_DIRECTORY}" ${tree})
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
      file(CHMOD "${path}" DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  return()
endif()

# Once packed, before cpack copies the package out: each ar member's mode
# field (8 bytes at 40 in its 60-byte header, which ends in "`\n" and gives
# the member's size at 48) is set to a regular file's 0644, in place.
foreach(deb ${CPACK_PACKAGE_FILES})
  file(SIZE "${deb}" end)
  set(header 8)
  while(header LESS end)
    math(EXPR mode "${header} + 40")
    math(EXPR at "${header} + 48")
    file(READ "${deb}" size OFFSET ${at} LIMIT 12)
    if(NOT size MATCHES "^([0-9]+) *`\n$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${header}")
    endif()
    set(size ${CMAKE_MATCH_1})
    execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$1\" bs=1 seek=${mode} conv=notrunc status=none"
      sh "${deb}" COMMAND_ERROR_IS_FATAL ANY)
    # Members start at even offsets.
    math(EXPR header "${header} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()
