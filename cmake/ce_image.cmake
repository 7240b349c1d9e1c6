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

# The COREDLL import slots of an image whose link places them itself (ARM,
# MIPS): comenrol_import_slots(OUTPUT SET), SET naming the table's column.
set(COMENROL_COREDLL_TABLE ${PROJECT_SOURCE_DIR}/platform/wince/coredll_imports.table)
function(comenrol_import_slots output set)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${COMENROL_PYTHON} ${PROJECT_SOURCE_DIR}/tools/wince_imports.py --set ${set}
            ${COMENROL_COREDLL_TABLE} ${output}
    DEPENDS ${COMENROL_COREDLL_TABLE} ${PROJECT_SOURCE_DIR}/tools/wince_imports.py
    COMMENT "Generating the COREDLL import slots"
    VERBATIM)
endfunction()
