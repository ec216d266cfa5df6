# A .deb built from the install rules: the ten probes and the suite runner
# in /usr/bin, their manual pages in /usr/share/man/man1.
#   cd build/default && cpack -G DEB        (or: cpack --preset default)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME probes)
set(CPACK_PACKAGE_VENDOR "probes developers")
set(CPACK_PACKAGE_CONTACT "probes developers <probes@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "small probes that check a platform's threads, descriptors, processes and clock")
set(CPACK_PACKAGE_DESCRIPTION "Ten small command-line programs, each exercising one facility of
the kernel or the C library and printing a fixed transcript and exit
status, and probesuite, which runs them all and checks every transcript,
optionally through a launcher such as an emulator or a sandbox's loader.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The probes need the C library only; the runner is C++.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Into the build tree, wherever cpack is started from.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
include(CPack)
