# The receiver build: Debian's mipsel-linux-gnu cross compiler (32-bit
# little-endian MIPS, as the receiver's processor). Libraries come from the
# cross toolchain's sysroot and from the mipsel packages that
# scripts/mips-sysroot.sh unpacks; programs run under qemu-mipsel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(ORVADO_MIPSEL_CROSS_ROOT /usr/mipsel-linux-gnu)
if(NOT ORVADO_MIPSEL_SYSROOT)
  set(ORVADO_MIPSEL_SYSROOT "$ENV{ORVADO_MIPSEL_SYSROOT}")
endif()
if(NOT ORVADO_MIPSEL_SYSROOT)
  set(ORVADO_MIPSEL_SYSROOT /opt/orvado/mipsel-sysroot)
endif()
set(ORVADO_MIPSEL_LIBDIR ${ORVADO_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu)

set(CMAKE_FIND_ROOT_PATH ${ORVADO_MIPSEL_CROSS_ROOT} ${ORVADO_MIPSEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# Headers that differ by architecture (OpenSSL's configuration, which
# cpp-httplib's header includes) are in the multiarch folder, which the cross
# compiler does not search by itself.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${ORVADO_MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${ORVADO_MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu)

set(ENV{PKG_CONFIG_LIBDIR} ${ORVADO_MIPSEL_LIBDIR}/pkgconfig:${ORVADO_MIPSEL_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORVADO_MIPSEL_SYSROOT})
set(ENV{PKG_CONFIG_PATH} "")

# The unpacked libraries need each other (freetype needs libpng, zlib and
# brotli): the linker finds them by -rpath-link, and the programs by an
# old-style RPATH, which, unlike RUNPATH, also serves the libraries' own needs.
# (zlib still lives in /lib.)
set(_orvado_mips_dirs ${ORVADO_MIPSEL_LIBDIR}:${ORVADO_MIPSEL_SYSROOT}/lib/mipsel-linux-gnu)
set(_orvado_mips_link "-Wl,-rpath-link,${_orvado_mips_dirs} -Wl,--disable-new-dtags")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_orvado_mips_link} -Wl,-rpath,${_orvado_mips_dirs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_orvado_mips_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_orvado_mips_link}")

# Programs built here (the font converter that fills the disk template, the
# tests) run under qemu-user with the cross sysroot as their library path;
# iconv finds its mipsel character-set modules through GCONV_PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR env GCONV_PATH=${ORVADO_MIPSEL_LIBDIR}/gconv
    qemu-mipsel -L ${ORVADO_MIPSEL_CROSS_ROOT})
