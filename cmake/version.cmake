# The product's identity, with its version taken from project(... VERSION) and nowhere else.
# Generates qelmo_version.h (for the code and the resource scripts) and gives each shipped binary
# a VERSIONINFO resource:
#   qelmo_add_version_resource(<target> DESCRIPTION <text>)
set(QELMO_COMPANY_NAME "Vantor")
set(QELMO_PRODUCT_NAME "OXAL driver helper plug-in (qelmo)")
set(QELMO_COPYRIGHT_YEAR 2026)
set(QELMO_VERSION_BUILD 0)
if(PROJECT_VERSION_TWEAK)
  set(QELMO_VERSION_BUILD ${PROJECT_VERSION_TWEAK})
endif()
# "2.9.9999.0": the four numbers as the resources show them.
set(QELMO_VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${QELMO_VERSION_BUILD}")

set(QELMO_GENERATED_INCLUDE ${CMAKE_BINARY_DIR}/generated/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qelmo_version.h.in
  ${QELMO_GENERATED_INCLUDE}/qelmo_version.h @ONLY)
# Every target below sees the generated header.
include_directories(${QELMO_GENERATED_INCLUDE})

function(qelmo_add_version_resource target)
  cmake_parse_arguments(PARSE_ARGV 1 V "" "DESCRIPTION" "")
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(QELMO_RC_FILE_TYPE VFT_APP)
    set(QELMO_RC_FILE_NAME ${name}.exe)
  else()
    set(QELMO_RC_FILE_TYPE VFT_DLL)
    set(QELMO_RC_FILE_NAME ${name}.dll)
  endif()
  set(QELMO_RC_INTERNAL_NAME ${name})
  set(QELMO_RC_DESCRIPTION "${V_DESCRIPTION}")
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
