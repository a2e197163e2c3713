# Read by cpack before it packs. Two packages of the same sources are the same
# to the bit: every date in them is that of the newest changelog entry, as
# Debian's own tools make it, unless SOURCE_DATE_EPOCH is set already.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND dpkg-parsechangelog -l ${CPACK_PASSHASH_CHANGELOG} -S Timestamp
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
