# Cross-compiling for desktop Windows x64 with the mingw-w64 toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(COMENROL_MINGW_TRIPLET x86_64-w64-mingw32)
# The other bitness, for the test module that this build must refuse.
set(COMENROL_OTHER_MINGW_TRIPLET i686-w64-mingw32)
# Linker names of C symbols carry no prefix here.
set(COMENROL_SYMBOL_PREFIX "")
set(CMAKE_C_COMPILER ${COMENROL_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${COMENROL_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${COMENROL_MINGW_TRIPLET}-windres)
set(CMAKE_STRIP ${COMENROL_MINGW_TRIPLET}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${COMENROL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Section GC everywhere; the tool itself adds its own size flags.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections -fno-ident")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections -fno-ident")
