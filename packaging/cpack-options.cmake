# SPDX-License-Identifier: GPL-2.0-or-later
# Read by cpack once per generator: the .deb carries the system layout, the
# tarball the layout of a user's plug-in folder.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL system)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL user)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
