# The version record compiled apart for the CE images, whose linkers take it
# as it is: comenrol_version_record(OUTPUT [FORMAT]), a .res file unless the
# format says otherwise (coff for an object GNU ld links in).
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
