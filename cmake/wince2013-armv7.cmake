# Windows Embedded Compact 2013 on ARMv7 (Thumb-2), built with Debian's
# clang-16 for the Windows-on-ARM target; platform/wince2013 links the objects
# into the PE image with lld-link-16.
include(${CMAKE_CURRENT_LIST_DIR}/no-runtime-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR armv7)

set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_ASM_COMPILER clang-16)
# Given as a flag: CMake passes no target option for a GNU-like clang that
# simulates MSVC on a Generic system.
foreach(_language C CXX ASM)
  set(CMAKE_${_language}_FLAGS_INIT --target=thumbv7-windows-msvc)
endforeach()
