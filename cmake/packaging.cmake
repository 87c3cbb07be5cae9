# SPDX-License-Identifier: GPL-2.0-or-later
# `cpack -G TGZ`: the user rules, to unpack into any OBS's plug-in folder.
# The .deb is built from the Debian source package (debian/, scripts/package.sh).
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Brivora")
set(CPACK_PACKAGE_CONTACT "Brivora <plugins@${BRIVORA_SERVICE_HOST}>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://${BRIVORA_SERVICE_HOST}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keeps your Brivora signature overlay in every OBS scene")
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_CHECKSUM SHA256)

# The tarball holds the user component alone, without a top folder.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL user)
set(CPACK_PACKAGING_INSTALL_PREFIX "")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)

set(CPACK_ARCHIVE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
include(CPack)
