# Windows CE on x86, built with Debian's mingw-w64 i686 toolchain, which
# links the PE image itself. No C runtime and no system defaults: the
# binding in platform/wincex86 names every flag it needs.
include(${CMAKE_CURRENT_LIST_DIR}/no-runtime-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_ASM_COMPILER i686-w64-mingw32-gcc)
