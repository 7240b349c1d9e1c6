# comenrol.exe for Windows on ARM64: the same binding, entry and core,
# compiled by clang for the ARM64 Windows target and linked by lld-link
# straight into the PE image, with a KERNEL32 import library made from
# kernel32.def and the resources compiled apart.
find_program(COMENROL_LLD_LINK lld-link-16 REQUIRED)
find_program(COMENROL_DLLTOOL NAMES llvm-dlltool-16 llvm-dlltool-14 REQUIRED)
find_program(COMENROL_WINDRES x86_64-w64-mingw32-windres REQUIRED)

# Freestanding, whole-program, with unwind data for every function that
# needs it (which -ffreestanding would otherwise turn off on this target).
set(_flags -Oz -flto -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -funwind-tables
           -fno-stack-protector)
include(${PROJECT_SOURCE_DIR}/cmake/image_rules.cmake)
comenrol_compile_line_is_the_bindings()
add_library(comenrol_arm64_objects OBJECT ${COMENROL_CORE_SOURCES}
                                          ${COMENROL_PORTABLE_TEXT_SOURCES} windows_platform.cpp
                                          entry.cpp)
target_include_directories(comenrol_arm64_objects PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(comenrol_arm64_objects PRIVATE ${_flags})
comenrol_warnings(comenrol_arm64_objects)

set(_def ${CMAKE_CURRENT_SOURCE_DIR}/kernel32.def)
set(_imports ${CMAKE_CURRENT_BINARY_DIR}/kernel32.lib)
add_custom_command(
  OUTPUT ${_imports}
  COMMAND ${COMENROL_DLLTOOL} -m arm64 -d ${_def} -l ${_imports}
  DEPENDS ${_def}
  COMMENT "Making the KERNEL32 import library"
  VERBATIM)

set(_res ${CMAKE_CURRENT_BINARY_DIR}/comenrol.res)
add_custom_command(
  OUTPUT ${_res}
  COMMAND ${COMENROL_WINDRES} -I ${PROJECT_SOURCE_DIR}/resources -I ${CMAKE_CURRENT_BINARY_DIR}
          -O res ${CMAKE_CURRENT_SOURCE_DIR}/comenrol_windows.rc ${_res}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/comenrol_windows.rc ${PROJECT_SOURCE_DIR}/resources/comenrol.rc
          ${PROJECT_SOURCE_DIR}/resources/version.h ${CMAKE_CURRENT_BINARY_DIR}/comenrol.min.manifest
  COMMENT "Compiling the resources"
  VERBATIM)

# Hardened as the other desktop builds: relocatable at any base, with
# high-entropy addresses, its data never executable. The read-only data and
# the unwind table go into the code's section, so that the image takes fewer
# file blocks; the exception directory still names the table. Linked with the
# GNU target's conventions (/lldmingw), under which whole-program
# optimisation keeps the unwind data. The map names every function for the
# check that follows, which removes an image whose unwind data falls short.
set(COMENROL_WINDOWS_ARM64_EXE ${CMAKE_CURRENT_BINARY_DIR}/comenrol.exe)
set(COMENROL_WINDOWS_ARM64_EXE ${COMENROL_WINDOWS_ARM64_EXE} PARENT_SCOPE)
set(_map ${CMAKE_CURRENT_BINARY_DIR}/comenrol.map)
add_custom_command(
  OUTPUT ${COMENROL_WINDOWS_ARM64_EXE}
  BYPRODUCTS ${_map}
  COMMAND ${COMENROL_LLD_LINK} /nologo /lldmingw /machine:arm64 /subsystem:windows
          /entry:ComenrolEntry /nodefaultlib /dynamicbase /highentropyva /nxcompat /opt:ref,icf
          /merge:.rdata=.text /merge:.pdata=.text /timestamp:${COMENROL_PE_TIMESTAMP}
          /out:${COMENROL_WINDOWS_ARM64_EXE} /map:${_map}
          $<TARGET_OBJECTS:comenrol_arm64_objects> ${_imports} ${_res}
  COMMAND /usr/bin/python3 -B ${PROJECT_SOURCE_DIR}/tools/arm64_unwind_check.py
          ${COMENROL_WINDOWS_ARM64_EXE} ${_map}
  DEPENDS comenrol_arm64_objects $<TARGET_OBJECTS:comenrol_arm64_objects> ${_imports} ${_res}
          ${PROJECT_SOURCE_DIR}/tools/arm64_unwind_check.py
  COMMAND_EXPAND_LISTS
  COMMENT "Linking the ARM64 executable comenrol.exe"
  VERBATIM)
add_custom_target(comenrol ALL DEPENDS ${COMENROL_WINDOWS_ARM64_EXE})
