# Windows CE on MIPS (MIPS II, soft float), built with Debian's mipsel Linux
# GCC used freestanding. The compiler makes ELF objects; platform/wincemips
# links them at their final addresses and tools/elf2pe turns the result into
# the CE executables.
include(${CMAKE_CURRENT_LIST_DIR}/no-runtime-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_ASM_COMPILER mipsel-linux-gnu-gcc)
