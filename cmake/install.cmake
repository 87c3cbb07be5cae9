# SPDX-License-Identifier: GPL-2.0-or-later
# Where OBS looks for the module. Two sets of rules, as install components:
#   system  <prefix>/lib/<arch>/obs-plugins/NAME.so and
#           <prefix>/share/obs/obs-plugins/NAME/locale/*.ini (the .deb)
#   user    <prefix>/NAME/bin/64bit/NAME.so and <prefix>/NAME/data/locale/*.ini,
#           with <prefix> a user's plug-in folder (the tarball, scripts/setup.sh)
# BRIVORA_INSTALL_FOR picks the set a plain `cmake --install` follows and its
# default prefix.
set(BRIVORA_INSTALL_FOR "system" CACHE STRING
  "What cmake --install installs for: system (OBS's system folders), user (~/.config) or flatpak (the Flatpak OBS)")
set_property(CACHE BRIVORA_INSTALL_FOR PROPERTY STRINGS system user flatpak)

if(BRIVORA_INSTALL_FOR STREQUAL "system")
  # OBS reads system modules only below its own prefix, /usr in every distribution package.
  set(brivora_default_prefix /usr)
elseif(BRIVORA_INSTALL_FOR STREQUAL "user")
  set(brivora_config "$ENV{XDG_CONFIG_HOME}")
  if(brivora_config STREQUAL "")
    set(brivora_config "$ENV{HOME}/.config")
  endif()
  set(brivora_default_prefix "${brivora_config}/obs-studio/plugins")
elseif(BRIVORA_INSTALL_FOR STREQUAL "flatpak")
  set(brivora_default_prefix "$ENV{HOME}/.var/app/com.obsproject.Studio/config/obs-studio/plugins")
else()
  message(FATAL_ERROR "BRIVORA_INSTALL_FOR is '${BRIVORA_INSTALL_FOR}': use system, user or flatpak")
endif()
# The prefix follows BRIVORA_INSTALL_FOR unless it was given by hand.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR CMAKE_INSTALL_PREFIX STREQUAL BRIVORA_DEFAULT_PREFIX)
  set(CMAKE_INSTALL_PREFIX "${brivora_default_prefix}" CACHE PATH "Install path prefix" FORCE)
endif()
set(BRIVORA_DEFAULT_PREFIX "${brivora_default_prefix}" CACHE INTERNAL "")

set(brivora_system_only)
set(brivora_user_only EXCLUDE_FROM_ALL)
if(NOT BRIVORA_INSTALL_FOR STREQUAL "system")
  set(brivora_system_only EXCLUDE_FROM_ALL)
  set(brivora_user_only)
endif()

set(brivora_libdir lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(brivora_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
install(TARGETS brivora-signature-guard
  LIBRARY DESTINATION ${brivora_libdir}/obs-plugins COMPONENT system ${brivora_system_only})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/
  DESTINATION share/obs/obs-plugins/${PROJECT_NAME} COMPONENT system ${brivora_system_only})
install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright
  DESTINATION share/doc/${PROJECT_NAME} COMPONENT system ${brivora_system_only})

install(TARGETS brivora-signature-guard
  LIBRARY DESTINATION ${PROJECT_NAME}/bin/64bit COMPONENT user ${brivora_user_only})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/
  DESTINATION ${PROJECT_NAME}/data COMPONENT user ${brivora_user_only})
