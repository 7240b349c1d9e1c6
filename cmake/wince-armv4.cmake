# Windows CE on 32-bit ARM (ARMv4), built with Debian's arm-none-eabi GCC.
# The compiler makes ELF objects; platform/wince links them at their final
# addresses and tools/elf2pe turns the result into the CE executable.
include(${CMAKE_CURRENT_LIST_DIR}/no-runtime-toolchain.cmake)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
