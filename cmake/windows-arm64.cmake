# Desktop Windows on ARM64, built with Debian's clang-16 for the GNU-style
# Windows target against the mingw-w64 headers; platform/windows links the
# objects into the PE image with lld-link-16. No C runtime and no system of
# its own to search, as for the CE targets.
include(${CMAKE_CURRENT_LIST_DIR}/no-runtime-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR arm64)

set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
foreach(_language C CXX)
  set(CMAKE_${_language}_FLAGS_INIT
      "--target=aarch64-w64-windows-gnu -isystem /usr/share/mingw-w64/include")
endforeach()
