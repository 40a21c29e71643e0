# Cross build for the router: MIPS32 little-endian with Debian's cross compiler.
# The target libraries come from the sysroot that scripts/mipsel-sysroot.sh
# unpacks (default: build/sysroot-mipsel beside the sources).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

get_filename_component(_rt_src "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(RT_TARGET_SYSROOT "${_rt_src}/build/sysroot-mipsel" CACHE PATH "Unpacked target libraries")
set(_rt_multiarch mipsel-linux-gnu)

# The C library and libstdc++ live in the cross toolchain's own tree; the
# sysroot adds the libraries the system links (libcurl, json-c, zlib, OpenSSL).
set(CMAKE_FIND_ROOT_PATH "${RT_TARGET_SYSROOT}" /usr/${_rt_multiarch})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE ${_rt_multiarch})

set(_rt_libdir "${RT_TARGET_SYSROOT}/usr/lib/${_rt_multiarch}")
set(_rt_rootlibdir "${RT_TARGET_SYSROOT}/lib/${_rt_multiarch}")
foreach(lang C CXX)
  set(CMAKE_${lang}_FLAGS_INIT "-isystem ${RT_TARGET_SYSROOT}/usr/include/${_rt_multiarch} -isystem ${RT_TARGET_SYSROOT}/usr/include")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${_rt_libdir} -Wl,-rpath-link,${_rt_libdir}:${_rt_rootlibdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${_rt_libdir} -Wl,-rpath-link,${_rt_libdir}:${_rt_rootlibdir}")
# MIPS32 has no 64-bit atomic instructions: std::atomic of 64-bit values needs libatomic.
set(CMAKE_CXX_STANDARD_LIBRARIES "-latomic" CACHE STRING "Libraries linked into every C++ target")

# pkg-config answers for the target.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR} "${_rt_libdir}/pkgconfig:${RT_TARGET_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${RT_TARGET_SYSROOT}")

# Unit tests run under user-mode emulation. The loader's library path must
# name the same trees, or threaded programs crash under the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR
  qemu-mipsel -L /usr/${_rt_multiarch}
  -E LD_LIBRARY_PATH=${_rt_libdir}:${_rt_rootlibdir}:/usr/${_rt_multiarch}/lib)
