# FLAVOUR: which C library the probes run on, and how they meet it.
#   dynamic  glibc, shared, through the loader (the default)
#   static   glibc, fully static, and the suite runner too
#   musl     musl (Debian's musl-tools), fully static; the runner and the
#            tests stay on glibc and check the probes from outside
set(FLAVOUR dynamic CACHE STRING "dynamic, static or musl")
set_property(CACHE FLAVOUR PROPERTY STRINGS dynamic static musl)

if(FLAVOUR STREQUAL "static")
  foreach(t IN LISTS PROBES ITEMS probesuite)
    target_link_options(${t} PRIVATE -static)
  endforeach()
elseif(FLAVOUR STREQUAL "musl")
  # musl-gcc's specs put musl's headers, start-up files and library in
  # place of glibc's. They read only as g++ options, and they drop
  # libstdc++'s headers, whose <cstdio> and the like the probes include:
  # put those back, and answer the one glibc version test in their
  # configuration with "no".
  set(MUSL_SPECS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "the musl flavour builds through musl-gcc's specs, which only g++ reads")
  endif()
  if(NOT EXISTS ${MUSL_SPECS})
    message(FATAL_ERROR "no ${MUSL_SPECS}: install musl-tools")
  endif()
  set(musl_cxx_includes ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  list(FILTER musl_cxx_includes INCLUDE REGEX "/c\\+\\+/")
  list(TRANSFORM musl_cxx_includes PREPEND "SHELL:-isystem ")
  foreach(p IN LISTS PROBES)
    target_compile_options(${p} PRIVATE -specs=${MUSL_SPECS} ${musl_cxx_includes}
                                        "-D__GLIBC_PREREQ(a,b)=0")
    target_link_options(${p} PRIVATE -specs=${MUSL_SPECS} -static)
  endforeach()
elseif(NOT FLAVOUR STREQUAL "dynamic")
  message(FATAL_ERROR "FLAVOUR is dynamic, static or musl, not '${FLAVOUR}'")
endif()
