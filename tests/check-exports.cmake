# SPDX-License-Identifier: GPL-2.0-or-later
# Fails unless the built module exports exactly the host's seven entry points.
set(expected
  obs_module_free_locale obs_module_get_string obs_module_load obs_module_set_locale
  obs_module_set_pointer obs_module_unload obs_module_ver)
execute_process(COMMAND nm -D --defined-only ${MODULE}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" symbol "${line}")
  list(APPEND exported ${symbol})
endforeach()
list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported: ${exported}\nexpected: ${expected}")
endif()
message(STATUS "exports: ${exported}")
