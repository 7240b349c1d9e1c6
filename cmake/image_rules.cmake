# What the images linked without a C runtime outside the mingw-w64 builds
# share: a compile line that is the binding's alone, and the PE time stamp.

# The flags a binding names are its whole compile line: no build-type
# additions, and of the base flags only what the toolchain file gave.
macro(comenrol_compile_line_is_the_bindings)
  foreach(_language C CXX ASM)
    set(CMAKE_${_language}_FLAGS "${CMAKE_${_language}_FLAGS_INIT}")
    foreach(_config DEBUG RELEASE MINSIZEREL RELWITHDEBINFO)
      set(CMAKE_${_language}_FLAGS_${_config} "")
    endforeach()
  endforeach()
endmacro()

# The same sources give the same bytes in any build directory: the PE time
# stamp is SOURCE_DATE_EPOCH when it is set at configure time, zero otherwise.
set(COMENROL_PE_TIMESTAMP 0)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(COMENROL_PE_TIMESTAMP $ENV{SOURCE_DATE_EPOCH})
endif()
