# SPDX-License-Identifier: GPL-2.0-or-later
# Read by cpack once per generator: the .deb carries the system layout, the
# tarball the layout of a user's plug-in folder.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL system)
  # Without dpkg-shlibdeps CPack would make a .deb without the C and C++
  # runtime dependencies, one that installs where it cannot load.
  find_program(BRIVORA_DPKG_SHLIBDEPS dpkg-shlibdeps NO_CMAKE_SYSTEM_PATH NO_CMAKE_INSTALL_PREFIX)
  if(NOT BRIVORA_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "cpack -G DEB needs dpkg-shlibdeps to find the package's library dependencies; "
      "install it (apt-get install dpkg-dev) and run cpack again.")
  endif()
  # dpkg-shlibdeps looks for the libraries of the architecture it is told,
  # and reads them with that architecture's objdump.
  if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
  endif()
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL user)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
