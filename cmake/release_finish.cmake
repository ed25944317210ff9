# Runs at install time, after the files are in place under QELMO_PACKAGE_ROOT (see release.cmake):
# for each of QELMO_BINARIES, splits its debug information into debug/<name>.debug, strips it,
# links it back to that file (.gnu_debuglink: name and CRC), signs it with osslsigncode; then
# writes SHA256SUMS over every file of the package.

function(_qelmo_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}")
  endif()
endfunction()

# The throw-away certificate: a test CA and a code-signing certificate it issued, made once.
function(_qelmo_test_certificate dir)
  set(ca ${dir}/test-ca.pem)
  set(cert ${dir}/test-signer.pem)
  set(key ${dir}/test-signer.key)
  if(NOT EXISTS ${cert} OR NOT EXISTS ${key} OR NOT EXISTS ${ca})
    if(NOT QELMO_OPENSSL)
      message(FATAL_ERROR "openssl is needed to make the test signing certificate")
    endif()
    file(MAKE_DIRECTORY ${dir})
    file(WRITE ${dir}/test-signer.ext
      "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
      "extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\n"
      "authorityKeyIdentifier=keyid\n")
    _qelmo_run(${QELMO_OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650
      -keyout ${dir}/test-ca.key -out ${ca}
      -subj "/CN=helperQELMODriver throw-away test CA"
      -addext "basicConstraints=critical,CA:TRUE"
      -addext "keyUsage=critical,keyCertSign,cRLSign")
    _qelmo_run(${QELMO_OPENSSL} req -newkey rsa:2048 -nodes -keyout ${key}
      -out ${dir}/test-signer.csr -subj "/CN=helperQELMODriver throw-away test signer")
    _qelmo_run(${QELMO_OPENSSL} x509 -req -in ${dir}/test-signer.csr -CA ${ca}
      -CAkey ${dir}/test-ca.key -CAcreateserial -days 825 -out ${cert}
      -extfile ${dir}/test-signer.ext)
  endif()
  set(QELMO_TEST_CERT ${cert} PARENT_SCOPE)
  set(QELMO_TEST_KEY ${key} PARENT_SCOPE)
endfunction()

set(_cert "$ENV{QELMO_SIGN_CERT}")
set(_key "$ENV{QELMO_SIGN_KEY}")
if(_cert AND _key)
  message(STATUS "signing with ${_cert}")
elseif(_cert OR _key)
  message(FATAL_ERROR "QELMO_SIGN_CERT and QELMO_SIGN_KEY must be given together")
else()
  _qelmo_test_certificate(${QELMO_SIGNING_DIR})
  set(_cert ${QELMO_TEST_CERT})
  set(_key ${QELMO_TEST_KEY})
  message(STATUS "signing with a THROW-AWAY TEST CERTIFICATE (${_cert}; CA "
    "${QELMO_SIGNING_DIR}/test-ca.pem): set QELMO_SIGN_CERT and QELMO_SIGN_KEY to sign a release")
endif()
set(_sign_options -certs ${_cert} -key ${_key} -h sha256 -n ${QELMO_SIGN_DESCRIPTION})
if(DEFINED ENV{QELMO_SIGN_KEY_PASSWORD})
  list(APPEND _sign_options -pass "$ENV{QELMO_SIGN_KEY_PASSWORD}")
endif()
if(NOT "$ENV{QELMO_SIGN_TIMESTAMP_URL}" STREQUAL "")
  list(APPEND _sign_options -ts "$ENV{QELMO_SIGN_TIMESTAMP_URL}")
endif()
if(NOT QELMO_OSSLSIGNCODE)
  message(FATAL_ERROR "osslsigncode is needed to sign the binaries")
endif()

file(MAKE_DIRECTORY ${QELMO_PACKAGE_ROOT}/debug)
foreach(binary ${QELMO_BINARIES})
  get_filename_component(name ${binary} NAME)
  set(file ${QELMO_PACKAGE_ROOT}/${binary})
  set(debug ${QELMO_PACKAGE_ROOT}/debug/${name}.debug)
  _qelmo_run(${QELMO_OBJCOPY} --only-keep-debug ${file} ${debug})
  _qelmo_run(${QELMO_OBJCOPY} --strip-all ${file})
  _qelmo_run(${QELMO_OBJCOPY} --add-gnu-debuglink=${debug} ${file})
  file(REMOVE ${file}.signed)
  _qelmo_run(${QELMO_OSSLSIGNCODE} sign ${_sign_options} -in ${file} -out ${file}.signed)
  file(RENAME ${file}.signed ${file})
  file(CHMOD ${file} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
  file(SIZE ${file} size)
  message(STATUS "${binary}: ${size} bytes, stripped and signed; debug information in "
    "debug/${name}.debug")
endforeach()

file(GLOB_RECURSE _files RELATIVE ${QELMO_PACKAGE_ROOT} ${QELMO_PACKAGE_ROOT}/*)
list(REMOVE_ITEM _files SHA256SUMS)
list(SORT _files)
set(_sums "")
foreach(file ${_files})
  file(SHA256 ${QELMO_PACKAGE_ROOT}/${file} hash)
  string(APPEND _sums "${hash}  ${file}\n")
endforeach()
file(WRITE ${QELMO_PACKAGE_ROOT}/SHA256SUMS "${_sums}")
