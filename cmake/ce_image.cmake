# What the CE image builds share: the Python that runs their build tools and
# tests, what every image without a C runtime shares (image_rules.cmake), and
# the version record compiled apart.
set(COMENROL_PYTHON /usr/bin/python3
    CACHE FILEPATH "Python that sees Debian's pyelftools, pefile and unicorn")
include(${CMAKE_CURRENT_LIST_DIR}/image_rules.cmake)

# The version record for linkers that take it as it is:
# comenrol_version_record(OUTPUT [FORMAT]), a .res file unless the format says
# otherwise (coff for an object GNU ld links in). A binding that needs another
# windres finds it as COMENROL_WINDRES before including this file.
find_program(COMENROL_WINDRES x86_64-w64-mingw32-windres REQUIRED)

function(comenrol_version_record output)
  set(format res)
  if(ARGC GREATER 1)
    set(format ${ARGV1})
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${COMENROL_WINDRES} -I ${PROJECT_SOURCE_DIR}/resources -O ${format}
            ${PROJECT_SOURCE_DIR}/resources/comenrol.rc ${output}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/comenrol.rc ${PROJECT_SOURCE_DIR}/resources/version.h
    COMMENT "Compiling the version record"
    VERBATIM)
endfunction()
