# Compile-only checks, built with everything else:
#   - the public header as C11 and as C++ (-Wall -Wextra -Werror -pedantic) with both compilers;
#   - the plug-in's own sources with clang (--target=x86_64-w64-mingw32) as a second compiler,
#     against the same MinGW-w64 headers and libstdc++.
# And two tests: the header's layout checks fire in C and in C++ when the ABI differs (a 4-byte
# wchar_t).
find_program(QELMO_CLANG clang)
find_program(QELMO_CLANGXX clang++)
if(NOT QELMO_CLANG OR NOT QELMO_CLANGXX)
  message(FATAL_ERROR "clang is needed for the second-compiler checks (scripts/setup.sh installs it)")
endif()

set(QELMO_CHECKS_DIR ${CMAKE_BINARY_DIR}/compiler-checks)
set(QELMO_CLANG_TARGET --target=x86_64-w64-mingw32 --sysroot=${CMAKE_FIND_ROOT_PATH})
# libstdc++'s headers as the MinGW g++ sees them.
set(QELMO_CLANG_CXX_INCLUDES "")
foreach(dir ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  if(dir MATCHES "/c\\+\\+")
    list(APPEND QELMO_CLANG_CXX_INCLUDES -isystem ${dir})
  endif()
endforeach()
get_directory_property(_qelmo_definitions DIRECTORY ${CMAKE_SOURCE_DIR} COMPILE_DEFINITIONS)
list(TRANSFORM _qelmo_definitions PREPEND -D)
set(QELMO_HEADER_FLAGS -Wall -Wextra -Werror -pedantic -fsyntax-only)
set(QELMO_CHECK_STAMPS "")

# One compile-only check: its stamp is rebuilt when the source or a header it includes changes.
function(_qelmo_compile_check name source)
  set(stamp ${QELMO_CHECKS_DIR}/${name}.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${ARGN} -MD -MF ${stamp}.d -MT ${stamp} ${source}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${source}
    DEPFILE ${stamp}.d
    COMMENT "Checking ${name}"
    VERBATIM)
  set(QELMO_CHECK_STAMPS ${QELMO_CHECK_STAMPS} ${stamp} PARENT_SCOPE)
endfunction()

set(_qelmo_header ${CMAKE_SOURCE_DIR}/include/qelmo_plugin.h)
_qelmo_compile_check(header-gcc-c11 ${_qelmo_header}
  ${CMAKE_C_COMPILER} -x c -std=c11 ${QELMO_HEADER_FLAGS})
_qelmo_compile_check(header-gcc-c++11 ${_qelmo_header}
  ${CMAKE_CXX_COMPILER} -x c++ -std=c++11 ${QELMO_HEADER_FLAGS})
_qelmo_compile_check(header-clang-c11 ${_qelmo_header}
  ${QELMO_CLANG} ${QELMO_CLANG_TARGET} -x c -std=c11 ${QELMO_HEADER_FLAGS})
_qelmo_compile_check(header-clang-c++11 ${_qelmo_header}
  ${QELMO_CLANGXX} ${QELMO_CLANG_TARGET} -x c++ -std=c++11 ${QELMO_HEADER_FLAGS})

file(GLOB _qelmo_clang_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)
foreach(source ${_qelmo_clang_sources})
  file(RELATIVE_PATH name ${CMAKE_SOURCE_DIR}/src ${source})
  string(REPLACE "/" "-" name "clang-${name}")
  _qelmo_compile_check(${name} ${source}
    ${QELMO_CLANGXX} ${QELMO_CLANG_TARGET} ${QELMO_CLANG_CXX_INCLUDES} -std=c++20
    ${QELMO_WARNINGS} -fsyntax-only ${_qelmo_definitions}
    -I${CMAKE_SOURCE_DIR}/include -I${CMAKE_SOURCE_DIR}/src
    -I${CMAKE_SOURCE_DIR}/hostlibs/include -I${QELMO_GENERATED_INCLUDE})
endforeach()
add_custom_target(qelmo_compiler_checks ALL DEPENDS ${QELMO_CHECK_STAMPS})

if(QELMO_BUILD_TESTS)
  foreach(language c c++)
    add_test(NAME header.layout_checks_fire_in_${language}
      COMMAND ${QELMO_CLANG} ${QELMO_CLANG_TARGET} -x ${language} -fno-short-wchar -fsyntax-only
        ${_qelmo_header})
    set_tests_properties(header.layout_checks_fire_in_${language} PROPERTIES
      PASS_REGULAR_EXPRESSION "DrvInfo is 2060 bytes")
  endforeach()
endif()
