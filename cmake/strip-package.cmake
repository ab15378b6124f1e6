# Run by CPack on the staged package tree, before the package is made.
find_program(MORVELLE_STRIP NAMES strip REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        execute_process(COMMAND ${MORVELLE_STRIP} --remove-section=.comment --remove-section=.note
                                --strip-unneeded "${file}"
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
