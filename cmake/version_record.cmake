# The version record compiled apart into a .res file, for the CE images,
# whose linkers take it as it is: comenrol_version_record(OUTPUT).
find_program(COMENROL_WINDRES x86_64-w64-mingw32-windres REQUIRED)

function(comenrol_version_record output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${COMENROL_WINDRES} -I ${PROJECT_SOURCE_DIR}/resources -O res
            ${PROJECT_SOURCE_DIR}/resources/comenrol.rc ${output}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/comenrol.rc ${PROJECT_SOURCE_DIR}/resources/version.h
    COMMENT "Compiling the version record"
    VERBATIM)
endfunction()
