# SPDX-License-Identifier: GPL-2.0-or-later
# `cpack -G DEB`: the system rules, for Debian and Ubuntu's obs-studio package.
# `cpack -G TGZ`: the user rules, to unpack into any OBS's plug-in folder.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Brivora")
set(CPACK_PACKAGE_CONTACT "Brivora <plugins@${BRIVORA_SERVICE_HOST}>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://${BRIVORA_SERVICE_HOST}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keeps your Brivora signature overlay in every OBS scene")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_CHECKSUM SHA256)

# One package per generator, each from its own component (packaging/cpack-options.cmake).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-options.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# OBS is the host: the package is named obs-studio in Debian, Ubuntu and OBS's own PPA.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "obs-studio (>= 29)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The first line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
This OBS Studio plug-in is for streamers who use Brivora widgets. Whenever
OBS runs, it keeps the Brivora Signature overlay in the current scene:
visible, locked, in the lower right corner and above everything else, with
your own widget link. It also removes duplicate alert overlays from the
scene and keeps the Brivora live and chat docks in OBS's settings up to date.
It has no window or settings of its own: install it and start OBS.]=])

# A cross build (cmake/toolchain-aarch64-linux-gnu.cmake) packs for its target:
# dpkg's name of the architecture, and dpkg-shlibdeps reading the target's
# runtime libraries from BRIVORA_DEB_SHLIBS_DIRS (packaging/cpack-options.cmake).
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  else()
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  set(BRIVORA_DEB_SHLIBS_DIRS "" CACHE STRING
    "Library folders of the target's C and C++ runtime packages, each unpacked with its DEBIAN folder (dpkg-deb -R)")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${BRIVORA_DEB_SHLIBS_DIRS})
endif()

set(CPACK_ARCHIVE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
include(CPack)
