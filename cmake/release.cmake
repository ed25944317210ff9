# The release package: install rules for what an integrator gets, and CPack's ZIP of it in
# <build>/dist/. scripts/release.sh runs it; `cmake --install <build> --prefix DIR` lays out the
# same tree.
#
#   bin/      helperQELMODriver.dll, qelmoctl.exe  (stripped, debug link, Authenticode-signed)
#   include/  qelmo_plugin.h
#   lib/      the MinGW import library and the .def file (MSVC: lib /def:helperQELMODriver.def)
#   debug/    the binaries' separated debug information (<binary>.debug)
#   README.md the README's sections for integrators
#   SHA256SUMS
#
# Signing: QELMO_SIGN_CERT and QELMO_SIGN_KEY (PEM files; QELMO_SIGN_KEY_PASSWORD,
# QELMO_SIGN_TIMESTAMP_URL optional) at install time; without them a throw-away test certificate
# made under <build>/signing/ (its CA: test-ca.pem) signs, and the install says so.
set(QELMO_SHIPPED_TARGETS helperQELMODriver qelmoctl)
set(QELMO_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(QELMO_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)
# The README sections that go into the package, by their "## " headings.
set(QELMO_INTEGRATOR_SECTIONS "How the host calls it" "Release package" "qelmoctl")

find_program(QELMO_OSSLSIGNCODE osslsigncode)
find_program(QELMO_OPENSSL openssl)
if(NOT CMAKE_OBJCOPY)
  find_program(CMAKE_OBJCOPY x86_64-w64-mingw32-objcopy)
endif()

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/install CACHE PATH "Install prefix" FORCE)
endif()

# The shipped binaries, and the project's static libraries they link, carry debug information;
# the install splits it off into debug/.
function(_qelmo_add_debug_info target)
  get_target_property(done ${target} QELMO_DEBUG_INFO)
  get_target_property(source_dir ${target} SOURCE_DIR)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${source_dir})
  if(done OR NOT (folder STREQUAL "" OR folder MATCHES "^(src|tools)(/|$)"))
    return()
  endif()
  set_target_properties(${target} PROPERTIES QELMO_DEBUG_INFO ON)
  target_compile_options(${target} PRIVATE -g)
  get_target_property(linked ${target} LINK_LIBRARIES)
  foreach(library ${linked})
    if(TARGET ${library})
      _qelmo_add_debug_info(${library})
    endif()
  endforeach()
endfunction()
foreach(target ${QELMO_SHIPPED_TARGETS})
  _qelmo_add_debug_info(${target})
endforeach()

install(TARGETS ${QELMO_SHIPPED_TARGETS} RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/qelmo_plugin.h DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/src/plugin/helperQELMODriver.def DESTINATION lib)

# The integrator's README: the named sections of the project README, in this order.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
file(READ ${CMAKE_SOURCE_DIR}/README.md _qelmo_readme)
set(_qelmo_integrator_readme "# ${PROJECT_NAME} ${PROJECT_VERSION} for integrators\n")
foreach(title ${QELMO_INTEGRATOR_SECTIONS})
  string(FIND "${_qelmo_readme}" "\n## ${title}\n" start)
  if(start LESS 0)
    message(FATAL_ERROR "README.md has no section '## ${title}' for the release package")
  endif()
  string(SUBSTRING "${_qelmo_readme}" ${start} -1 section)
  string(SUBSTRING "${section}" 1 -1 rest)
  string(FIND "${rest}" "\n## " end)
  if(end GREATER_EQUAL 0)
    string(SUBSTRING "${rest}" 0 ${end} rest)
  endif()
  string(STRIP "${rest}" rest)
  string(APPEND _qelmo_integrator_readme "\n${rest}\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/generated/README-integrators.md
  CONTENT "${_qelmo_integrator_readme}")
install(FILES ${CMAKE_BINARY_DIR}/generated/README-integrators.md DESTINATION . RENAME README.md)

# Last: split the debug information, strip, link back, sign, and list the checksums.
set(_qelmo_shipped_names "")
foreach(target ${QELMO_SHIPPED_TARGETS})
  list(APPEND _qelmo_shipped_names "bin/$<TARGET_FILE_NAME:${target}>")
endforeach()
install(CODE "
  set(QELMO_OBJCOPY \"${CMAKE_OBJCOPY}\")
  set(QELMO_OSSLSIGNCODE \"${QELMO_OSSLSIGNCODE}\")
  set(QELMO_OPENSSL \"${QELMO_OPENSSL}\")
  set(QELMO_SIGNING_DIR \"${QELMO_SIGNING_DIR}\")
  set(QELMO_SIGN_DESCRIPTION \"${QELMO_PRODUCT_NAME}\")
  set(QELMO_BINARIES \"${_qelmo_shipped_names}\")
  set(QELMO_PACKAGE_ROOT \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/release_finish.cmake\")
")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "${QELMO_COMPANY_NAME}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(QELMO_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_FILE_NAME ${QELMO_PACKAGE_FILE_NAME})
set(CPACK_PACKAGE_DIRECTORY ${QELMO_DIST_DIR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES OFF)
include(CPack)

# The package as an integrator receives it (tests/release/check_package.sh). The signing
# variables are cleared: the tests verify against the build's own test CA.
if(QELMO_BUILD_TESTS)
  set(_qelmo_zip ${QELMO_DIST_DIR}/${QELMO_PACKAGE_FILE_NAME}.zip)
  add_test(NAME release.pack
    COMMAND ${CMAKE_COMMAND} -E env --unset=QELMO_SIGN_CERT --unset=QELMO_SIGN_KEY
      --unset=QELMO_SIGN_KEY_PASSWORD --unset=QELMO_SIGN_TIMESTAMP_URL
      ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(release.pack PROPERTIES FIXTURES_SETUP qelmo_release_package)
  foreach(mode contents wine)
    add_test(NAME release.package_${mode}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/release/check_package.sh ${mode} ${_qelmo_zip}
        ${CMAKE_BINARY_DIR} ${QELMO_VERSION_TEXT})
    set_tests_properties(release.package_${mode} PROPERTIES
      FIXTURES_REQUIRED qelmo_release_package TIMEOUT 300)
  endforeach()
endif()
