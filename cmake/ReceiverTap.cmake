# The TAP as the receiver loads it. Its sources are compiled once more, apart
# from the libraries that the tests link:
#   -march=mips32     release 1: the oldest cores lack ext, ins, seb, wsbh ...
#   -msoft-float      no floating-point instruction (many cores have no FPU);
#                     the TAP passes no float across its edges, so after the
#                     link its FP-ABI attribute is set to "any"
#                     (scripts/mips-fp-abi.py), which soft- and
#                     hard-float loaders both accept
#   no stack protector, no fortified calls: their C-library entries are newer
#                     than a receiver's firmware
# and linked against stubs of the receiver's C library (receiver-libc/*.map),
# so every reference gets the version a receiver has, and a call a receiver
# lacks fails the link.

# A link-time stub of one C library from its version script: every listed
# name as an empty function, under the script's versions.
function(orvado_libc_stub target soname map)
  file(READ ${map} text)
  string(REGEX REPLACE "/\\*([^*]|\\*[^/])*\\*/" "" text "${text}")
  string(REGEX REPLACE "GLIBC_[0-9.]+|global:|local:|\\*" "" text "${text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${text}")
  set(source "/* Made from ${map}: link-time stub, never shipped. */\n")
  foreach(name IN LISTS names)
    string(APPEND source "__asm__(\".text\\n.globl ${name}\\n.type ${name}, @function\\n${name}: jr $31\\n\");\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/receiver-libc/${target}.c CONTENT "${source}")
  add_library(${target} SHARED ${CMAKE_BINARY_DIR}/receiver-libc/${target}.c)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${target}
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/receiver-libc NO_SONAME ON LINK_DEPENDS ${map})
  target_compile_options(${target} PRIVATE -march=mips32 -msoft-float)
  target_link_options(${target} PRIVATE -march=mips32 -msoft-float -nostdlib -Wl,-soname,${soname}
    -Wl,--version-script=${map})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${map})
endfunction()

function(orvado_receiver_tap target)
  set(stubs ${PROJECT_SOURCE_DIR}/cmake/receiver-libc)
  orvado_libc_stub(receiver_libc libc.so.6 ${stubs}/libc.map)
  orvado_libc_stub(receiver_libdl libdl.so.2 ${stubs}/libdl.map)

  set(sources ${ARGN})
  foreach(lib orvado_app orvado_lib)
    get_target_property(dir ${lib} SOURCE_DIR)
    get_target_property(files ${lib} SOURCES)
    foreach(file IN LISTS files)
      list(APPEND sources ${dir}/${file})
    endforeach()
  endforeach()
  # The C library's headers pick a stub list by float ABI and Debian ships
  # only the hard-float one; both list the same calls.
  set(include ${CMAKE_BINARY_DIR}/receiver-include)
  configure_file(${ORVADO_MIPSEL_CROSS_ROOT}/include/gnu/stubs-o32_hard.h ${include}/gnu/stubs-o32_soft.h COPYONLY)

  add_library(${target} MODULE ${sources})
  target_link_libraries(${target} PRIVATE orvado_formats orvado_warnings)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE -idirafter ${include} -fno-exceptions -fno-rtti -march=mips32 -msoft-float
    -fno-stack-protector -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=0)
  # No start files: the toolchain's are built for release 2 with hard float,
  # and a TAP needs none (the loader runs its constructors).
  target_link_options(${target} PRIVATE -march=mips32 -msoft-float -nostartfiles -nodefaultlibs -Wl,--no-as-needed)
  # Nor GCC's helper routines, built for release 2 as well: a TAP that needs
  # one shows it as an open name, which tests/receiver/tap_elf_check.py refuses.
  target_link_libraries(${target} PRIVATE receiver_libc receiver_libdl)
  set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/mips-fp-abi.py --set-any $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
