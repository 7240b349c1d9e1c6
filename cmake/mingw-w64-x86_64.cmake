# Cross-compiling for desktop Windows x64 with the mingw-w64 toolchain.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(COMENROL_MINGW_TRIPLET x86_64-w64-mingw32)
# The other bitness, for the test module that this build must refuse.
set(COMENROL_OTHER_MINGW_TRIPLET i686-w64-mingw32)
# Linker names of C symbols carry no prefix here.
set(COMENROL_SYMBOL_PREFIX "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
