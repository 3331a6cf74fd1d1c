# The flags of a build that a distribution ships, for every object the build
# compiles and links (the program, the modules, the tests and fuzz targets):
# included before the first target.
#
# Hardening (STASHWICK_HARDENING, on by default in every build type): what
# Debian's dpkg-buildflags gives with DEB_BUILD_MAINT_OPTIONS=hardening=+all,
# plus -fstack-clash-protection and -fcf-protection, which later Debian
# releases add by default. Developer builds get them too, so that the suite
# tests the code as it ships (the stack protector and the fortified libc calls
# end a test that overflows a buffer), and a format-string fault stops the
# build at the desk instead of in the package. _FORTIFY_SOURCE only where the
# build type optimises (glibc needs -O for it) and not under the sanitizers
# (ASan replaces the same libc calls; the fortified variants would bypass its
# checks).
#
# Release (and MinSizeRel) builds, which carry no debug information, map the
# source and build folders to "." so that no path of the build machine ends up
# in the program: the program is the same from any checkout.
#
# CFLAGS, CXXFLAGS and LDFLAGS from the environment go into CMAKE_<LANG>_FLAGS
# and CMAKE_<TYPE>_LINKER_FLAGS as usual and come first on the command lines;
# these flags come after them. Where they already set _FORTIFY_SOURCE, that
# level is kept. A packager with other needs turns STASHWICK_HARDENING off.

option(STASHWICK_HARDENING "Build with the hardening flags of a distribution package" ON)

include(CheckCXXCompilerFlag)

if(STASHWICK_HARDENING)
  # Position-independent code everywhere: -fPIE and -pie for the executables,
  # -fPIC for the modules and the static libraries.
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # Executables, modules and shared libraries alike.
  add_link_options(-Wl,-z,relro -Wl,-z,now)

  # Both exist only on some architectures (-fcf-protection: x86).
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "STASHWICK_HAS${flag}" var)
    check_cxx_compiler_flag(${flag} ${var})
    if(${var})
      add_compile_options(${flag})
    endif()
  endforeach()

  set(optimising "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  if(NOT STASHWICK_SANITIZE AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
    # -U first: some compilers define a level of their own.
    add_compile_options("$<${optimising}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
endif()

add_compile_options(
  "$<$<OR:$<CONFIG:Release>,$<CONFIG:MinSizeRel>>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.;-ffile-prefix-map=${PROJECT_BINARY_DIR}=.>")
