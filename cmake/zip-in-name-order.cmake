# Run by CPack once it has made the Windows zip (CPACK_POST_BUILD_SCRIPTS in
# packaging.cmake): makes the zip again from the same staged files, with its
# entries in name order. CPack adds them in the order the file system lists
# the staging directory, which depends on the file system, so that two builds
# of one commit could give two zips. The times are SOURCE_DATE_EPOCH's where it
# is set, as in CPack's own zip; a zip's DOS times are local times, so
# scripts/package runs in the time zone UTC.
file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE ${CPACK_TOPLEVEL_DIRECTORY}
     ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT entries)
file(REMOVE ${CPACK_PACKAGE_FILES})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${CPACK_PACKAGE_FILES} --format=zip -- ${entries}
                WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
