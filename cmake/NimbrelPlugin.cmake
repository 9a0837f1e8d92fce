# SPDX-License-Identifier: MIT
# Building source plug-ins for nimbrel, in this tree and, installed with the
# package configuration, for plug-in authors (find_package(nimbrel)).
#
#   nimbrel_add_plugin(<target> KIND General|Lyrics SOURCES <file>...
#                      [NAME <source name>] [PRIORITY <n>] [NO_INSTALL])
#
# builds a module named <source name>.so (default: the target's name) against
# the plug-in SDK only (nimbrel::sdk), with every symbol hidden but the
# entry point GetDllInterface, into <build dir>/nimbrel-plugins/<kind>/, a
# folder laid out like the library's working directory. Unless NO_INSTALL, it
# installs to ${NIMBREL_PLUGIN_INSTALL_DIR}/<kind>/. The module must carry its
# version stamp (NIMBREL_MODULE_VERSION) for the update list.
#
#   nimbrel_add_update_list_target([BASE_URL <url>])
#
# after the plug-ins: a target, built by default, that writes the update list
# of the build tree's plug-in folder (<build dir>/nimbrel-plugins/update.xml),
# for serving the build tree while developing. Nothing without plug-ins.
#
#   nimbrel_install_update_list([BASE_URL <url>] [PACKAGE <name>])
#
# at install time, after the plug-ins, writes this project's fragment of the
# update list, ${NIMBREL_PLUGIN_INSTALL_DIR}/update.d/<name>.xml (default
# name: the project's), listing only the modules this project installs, with
# their priorities and the download addresses <url>/<kind>/<name>.so
# (default: the cache variable NIMBREL_PLUGIN_BASE_URL). Then, unless
# NIMBREL_MERGE_UPDATE_LIST is OFF (a distribution package, which merges in
# its installation script instead), it merges every package's fragment into
# ${NIMBREL_PLUGIN_INSTALL_DIR}/update.xml (nimbrel-update-list --merge), so
# that another package's plug-ins keep their own addresses and priorities.
# Serve the installed plug-in folder and point the host's UpdateUrl at its
# update.xml.
#
# Plug-ins and the fragment install in the component NIMBREL_PLUGIN_COMPONENT
# (default "Plugins").
include_guard(GLOBAL)
include(GNUInstallDirs)

# The plug-in folder relative to the install prefix: a working directory of
# the library (General/, Lyrics/), beside the library because modules are
# built for one architecture.
if(NOT DEFINED NIMBREL_PLUGIN_INSTALL_DIR)
  set(NIMBREL_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/nimbrel")
endif()
set(NIMBREL_PLUGIN_BASE_URL "http://localhost:8377/plugins" CACHE STRING
  "Address at which the installed plug-in folder is served; the update list's download addresses begin with it")
set(NIMBREL_PLUGIN_BUILD_DIR "${CMAKE_BINARY_DIR}/nimbrel-plugins")
option(NIMBREL_MERGE_UPDATE_LIST "Merge the plug-in folder's update list fragments into update.xml at install time" ON)
if(NOT DEFINED NIMBREL_PLUGIN_COMPONENT)
  set(NIMBREL_PLUGIN_COMPONENT Plugins)
endif()

function(nimbrel_add_plugin target)
  cmake_parse_arguments(P "NO_INSTALL" "KIND;NAME;PRIORITY" "SOURCES" ${ARGN})
  if(NOT P_KIND STREQUAL "General" AND NOT P_KIND STREQUAL "Lyrics")
    message(FATAL_ERROR "nimbrel_add_plugin(${target}): KIND must be General or Lyrics")
  endif()
  if(NOT P_NAME)
    set(P_NAME ${target})
  endif()
  # The registry reads "ExampleD.so" as the debug build of "Example", strips
  # every ".so" from a file name, and never finds a hidden file.
  if(NOT P_NAME MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.+-]*$" OR P_NAME MATCHES "D$" OR P_NAME MATCHES "[.]so")
    message(FATAL_ERROR "nimbrel_add_plugin(${target}): '${P_NAME}' is no source name the registry loads as such "
                        "(letters, digits, _ . + -, no \".so\", not ending in D)")
  endif()
  add_library(${target} MODULE ${P_SOURCES})
  target_link_libraries(${target} PRIVATE nimbrel::sdk)
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".so" OUTPUT_NAME ${P_NAME}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${NIMBREL_PLUGIN_BUILD_DIR}/${P_KIND}")
  # Only the entry point leaves the module: hidden visibility does not reach
  # template copies that headers mark visible (the standard library's, in
  # unoptimised builds) nor what sanitizers add, a version script does.
  set(map "${CMAKE_BINARY_DIR}/nimbrel-plugin.map")
  if(NOT EXISTS "${map}")
    file(WRITE "${map}" "{\n  global: GetDllInterface;\n  local: *;\n};\n")
  endif()
  target_link_options(${target} PRIVATE "-Wl,--version-script=${map}" -Wl,--exclude-libs,ALL)
  if(NOT P_NO_INSTALL)
    install(TARGETS ${target} LIBRARY DESTINATION "${NIMBREL_PLUGIN_INSTALL_DIR}/${P_KIND}"
      COMPONENT ${NIMBREL_PLUGIN_COMPONENT})
    set_property(GLOBAL APPEND PROPERTY NIMBREL_INSTALLED_MODULES "${P_KIND}/${P_NAME}.so")
  endif()
  set_property(GLOBAL APPEND PROPERTY NIMBREL_PLUGIN_TARGETS ${target})
  if(DEFINED P_PRIORITY)
    set_property(GLOBAL APPEND PROPERTY NIMBREL_PLUGIN_PRIORITIES "${P_NAME}=${P_PRIORITY}")
  endif()
endfunction()

# The priorities given to nimbrel_add_plugin, as arguments of the generator.
function(nimbrel_priority_arguments out)
  get_property(priorities GLOBAL PROPERTY NIMBREL_PLUGIN_PRIORITIES)
  set(arguments "")
  foreach(p IN LISTS priorities)
    list(APPEND arguments --priority "${p}")
  endforeach()
  set(${out} "${arguments}" PARENT_SCOPE)
endfunction()

function(nimbrel_add_update_list_target)
  cmake_parse_arguments(P "" "BASE_URL" "" ${ARGN})
  if(NOT P_BASE_URL)
    set(P_BASE_URL "${NIMBREL_PLUGIN_BASE_URL}")
  endif()
  get_property(targets GLOBAL PROPERTY NIMBREL_PLUGIN_TARGETS)
  if(NOT targets)
    return()
  endif()
  nimbrel_priority_arguments(priorities)
  add_custom_target(nimbrel_plugin_update_list ALL
    COMMAND nimbrel::update-list --base-url "${P_BASE_URL}" ${priorities} "${NIMBREL_PLUGIN_BUILD_DIR}"
    COMMENT "Writing the update list of ${NIMBREL_PLUGIN_BUILD_DIR}" VERBATIM)
  add_dependencies(nimbrel_plugin_update_list ${targets})
endfunction()

function(nimbrel_install_update_list)
  cmake_parse_arguments(P "" "BASE_URL;PACKAGE" "" ${ARGN})
  if(NOT P_BASE_URL)
    set(P_BASE_URL "${NIMBREL_PLUGIN_BASE_URL}")
  endif()
  if(NOT P_PACKAGE)
    set(P_PACKAGE "${PROJECT_NAME}")
  endif()
  if(NOT P_PACKAGE MATCHES "^[A-Za-z0-9][A-Za-z0-9_.+-]*$")
    message(FATAL_ERROR "nimbrel_install_update_list: '${P_PACKAGE}' is no package name (letters, digits, _ . + -)")
  endif()
  get_property(installed GLOBAL PROPERTY NIMBREL_INSTALLED_MODULES)
  if(NOT installed)
    return()
  endif()
  nimbrel_priority_arguments(priorities)
  set(arguments "")
  foreach(p IN LISTS priorities)
    string(APPEND arguments " \"${p}\"")
  endforeach()
  foreach(m IN LISTS installed)
    string(APPEND arguments " --module \"${m}\"")
  endforeach()
  set(merge "")
  if(NIMBREL_MERGE_UPDATE_LIST)
    set(merge "
    execute_process(COMMAND \"$<TARGET_FILE:nimbrel::update-list>\" --merge \"\${folder}\" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"the plug-in folder's update list could not be merged\")
    endif()")
  endif()
  install(CODE "
    set(folder \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${NIMBREL_PLUGIN_INSTALL_DIR}\")
    file(MAKE_DIRECTORY \"\${folder}/update.d\")
    execute_process(COMMAND \"$<TARGET_FILE:nimbrel::update-list>\" --base-url \"${P_BASE_URL}\"${arguments}
                            --output \"\${folder}/update.d/${P_PACKAGE}.xml\" \"\${folder}\" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"the plug-in update list fragment could not be written\")
    endif()${merge}" COMPONENT ${NIMBREL_PLUGIN_COMPONENT})
endfunction()
