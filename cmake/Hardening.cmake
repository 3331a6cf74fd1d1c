# The flags of a build that a distribution ships, in the INTERFACE target
# stashwick_hardening: what the program's code links it with gets them.
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
# in the program: the package is the same from any checkout.
#
# A stripped install (cmake --install --strip, and CPack, which strips) also
# removes .comment (compiler versions) from the program, as dh_strip does.
#
# CFLAGS, CXXFLAGS and LDFLAGS from the environment go into CMAKE_<LANG>_FLAGS
# and CMAKE_EXE_LINKER_FLAGS as usual and stay on the command lines; these
# flags come after them. Where they already set _FORTIFY_SOURCE, that level is
# kept. A packager with other needs turns STASHWICK_HARDENING off.
#
# Included after install(TARGETS stashwick): the .comment step runs after the
# strip of that rule.
option(STASHWICK_HARDENING "Build with the hardening flags of a distribution package" ON)

include(CheckCXXCompilerFlag)

add_library(stashwick_hardening INTERFACE)

if(STASHWICK_HARDENING)
  # PIE for the executables and for the static libraries that go into them
  # (nothing built as a shared library links this target).
  target_compile_options(stashwick_hardening INTERFACE
    -fPIE -fstack-protector-strong -Wformat -Werror=format-security)
  target_link_options(stashwick_hardening INTERFACE
    "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-pie>" -Wl,-z,relro -Wl,-z,now)

  # Both exist only on some architectures (-fcf-protection: x86).
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "STASHWICK_HAS${flag}" var)
    check_cxx_compiler_flag(${flag} ${var})
    if(${var})
      target_compile_options(stashwick_hardening INTERFACE ${flag})
    endif()
  endforeach()

  set(optimising "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  if(NOT STASHWICK_SANITIZE AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
    # -U first: some compilers define a level of their own.
    target_compile_options(stashwick_hardening INTERFACE
      "$<${optimising}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
endif()

target_compile_options(stashwick_hardening INTERFACE
  "$<$<OR:$<CONFIG:Release>,$<CONFIG:MinSizeRel>>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.;-ffile-prefix-map=${PROJECT_BINARY_DIR}=.>")

# bin/: where install(TARGETS stashwick) puts the program.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:stashwick>\")
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"\${program}\"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"objcopy could not remove .comment from \${program}\")
    endif()
  endif()")
