# The build's test PKI: a root CA that the test prefixes trust, the package's code-signing
# certificate and a second signer under the same root. Made once per build tree with openssl.
#
# The leaves are signed with SHA-1: Wine 8 does not check the root of a chain whose leaf is
# signed with SHA-256. Every signature carries the root too, because Wine 8 also accepts a
# chain that stops short of any root.
find_program(FN_OPENSSL openssl REQUIRED)
find_program(FN_OSSLSIGNCODE osslsigncode REQUIRED)

set(FN_PKI_DIR ${CMAKE_BINARY_DIR}/pki)

function(fn_pki_run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${FN_PKI_DIR}
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "test PKI: ${ARGN} failed: ${error}")
  endif()
endfunction()

if(NOT EXISTS ${FN_PKI_DIR}/root.der OR NOT EXISTS ${FN_PKI_DIR}/other-chain.pem)
  file(MAKE_DIRECTORY ${FN_PKI_DIR})
  file(WRITE ${FN_PKI_DIR}/extensions.cnf
"[req]
distinguished_name=dn
prompt=no
[dn]
CN=Osmira Test Root CA
O=Osmira Test
[root]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[signer]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
")
  fn_pki_run(${FN_OPENSSL} req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem
             -days 3650 -sha256 -config extensions.cnf -extensions root)
  fn_pki_run(${FN_OPENSSL} x509 -in root.pem -outform DER -out root.der)
  foreach(leaf signer other)
    if(leaf STREQUAL "signer")
      set(subject "/CN=Osmira Test Package Signer/O=Osmira Test")
    else()
      set(subject "/CN=Osmira Test Other Signer/O=Osmira Test")
    endif()
    fn_pki_run(${FN_OPENSSL} req -newkey rsa:2048 -nodes -keyout ${leaf}.key -out ${leaf}.csr -subj ${subject})
    fn_pki_run(${FN_OPENSSL} x509 -req -in ${leaf}.csr -CA root.pem -CAkey root.key -CAcreateserial
               -out ${leaf}.pem -days 3650 -sha1 -extfile extensions.cnf -extensions signer)
    file(READ ${FN_PKI_DIR}/${leaf}.pem leaf_pem)
    file(READ ${FN_PKI_DIR}/root.pem root_pem)
    file(WRITE ${FN_PKI_DIR}/${leaf}-chain.pem "${leaf_pem}${root_pem}")
  endforeach()
endif()

# A signer under a root that no prefix trusts: what the tests expect to be refused. Made apart
# from the trusted PKI so that adding it never re-keys what is already signed.
if(NOT EXISTS ${FN_PKI_DIR}/stranger-chain.pem)
  fn_pki_run(${FN_OPENSSL} req -x509 -newkey rsa:2048 -nodes -keyout stranger-root.key -out stranger-root.pem
             -days 3650 -sha256 -config extensions.cnf -extensions root -subj "/CN=Osmira Test Untrusted Root/O=Osmira Test")
  fn_pki_run(${FN_OPENSSL} req -newkey rsa:2048 -nodes -keyout stranger.key -out stranger.csr
             -subj "/CN=Osmira Test Package Signer/O=Osmira Test")
  fn_pki_run(${FN_OPENSSL} x509 -req -in stranger.csr -CA stranger-root.pem -CAkey stranger-root.key -CAcreateserial
             -out stranger.pem -days 3650 -sha1 -extfile extensions.cnf -extensions signer)
  file(READ ${FN_PKI_DIR}/stranger.pem leaf_pem)
  file(READ ${FN_PKI_DIR}/stranger-root.pem root_pem)
  file(WRITE ${FN_PKI_DIR}/stranger-chain.pem "${leaf_pem}${root_pem}")
endif()

# A signer under two CAs that certify each other: its chain never reaches a root, which the
# platform reports as a chaining error (0x800B010A). Wine 8 accepts a chain that merely stops
# short, so the loop is what makes that error appear there.
if(NOT EXISTS ${FN_PKI_DIR}/cyclic-chain.pem)
  file(WRITE ${FN_PKI_DIR}/cyclic.cnf
"[req]
distinguished_name=dn
prompt=no
[dn]
CN=Osmira Test Cycle
[ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
[signer]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
")
  foreach(ca a b)
    string(TOUPPER ${ca} ca_name)
    fn_pki_run(${FN_OPENSSL} genrsa -out cycle-${ca}.key 2048)
    # Self-signed only to issue the other CA's certificate; never part of a signature.
    fn_pki_run(${FN_OPENSSL} req -x509 -new -key cycle-${ca}.key -out cycle-${ca}-self.pem -days 3650 -sha1
               -config cyclic.cnf -extensions ca -subj "/CN=Osmira Test Cycle ${ca_name}/O=Osmira Test")
    fn_pki_run(${FN_OPENSSL} req -new -key cycle-${ca}.key -out cycle-${ca}.csr
               -config cyclic.cnf -subj "/CN=Osmira Test Cycle ${ca_name}/O=Osmira Test")
  endforeach()
  fn_pki_run(${FN_OPENSSL} x509 -req -in cycle-a.csr -CA cycle-b-self.pem -CAkey cycle-b.key -CAcreateserial
             -out cycle-a.pem -days 3650 -sha1 -extfile cyclic.cnf -extensions ca)
  fn_pki_run(${FN_OPENSSL} x509 -req -in cycle-b.csr -CA cycle-a-self.pem -CAkey cycle-a.key -CAcreateserial
             -out cycle-b.pem -days 3650 -sha1 -extfile cyclic.cnf -extensions ca)
  fn_pki_run(${FN_OPENSSL} req -newkey rsa:2048 -nodes -keyout cyclic.key -out cyclic.csr
             -subj "/CN=Osmira Test Package Signer/O=Osmira Test")
  fn_pki_run(${FN_OPENSSL} x509 -req -in cyclic.csr -CA cycle-a.pem -CAkey cycle-a.key -CAcreateserial
             -out cyclic.pem -days 3650 -sha1 -extfile cyclic.cnf -extensions signer)
  file(READ ${FN_PKI_DIR}/cyclic.pem leaf_pem)
  file(READ ${FN_PKI_DIR}/cycle-a.pem a_pem)
  file(READ ${FN_PKI_DIR}/cycle-b.pem b_pem)
  file(WRITE ${FN_PKI_DIR}/cyclic-chain.pem "${leaf_pem}${a_pem}${b_pem}")
endif()

# The package signer's SHA-1 thumbprint, upper-case hex without separators.
execute_process(COMMAND ${FN_OPENSSL} x509 -in ${FN_PKI_DIR}/signer.pem -noout -fingerprint -sha1
                OUTPUT_VARIABLE signer_fingerprint OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE ".*=" "" signer_fingerprint "${signer_fingerprint}")
string(REPLACE ":" "" FN_SIGNER_THUMBPRINT "${signer_fingerprint}")
string(TOUPPER "${FN_SIGNER_THUMBPRINT}" FN_SIGNER_THUMBPRINT)

# The signing command for a file: signer is "signer" (the package), "other" (a second signer
# under the same trusted root), "stranger" (same subject as the package signer, untrusted root)
# or "cyclic" (same subject, a chain that loops without reaching a root).
function(fn_sign_command out_var signer input output)
  set(${out_var}
      ${FN_OSSLSIGNCODE} sign -certs ${FN_PKI_DIR}/${signer}-chain.pem -key ${FN_PKI_DIR}/${signer}.key
      -h sha256 -n "Osmira Fn Hotkey Utility" -in ${input} -out ${output}
      PARENT_SCOPE)
endfunction()

# Signs a target's file in place with the package's certificate after every link. Call it
# before fn_stage so that the package folder receives the signed file.
function(fn_sign target)
  fn_sign_command(sign_cmd signer $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.signed)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${sign_cmd}
    COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:${target}>.signed $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# A copy of a signed target's file with its signature removed, or replaced by another signer's:
# fixtures for the trust tests.
function(fn_unsigned_copy output target)
  get_filename_component(output_dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_COMMAND} -E remove -f ${output}
    COMMAND ${FN_OSSLSIGNCODE} remove-signature -in $<TARGET_FILE:${target}> -out ${output}
    DEPENDS ${target} VERBATIM)
endfunction()

function(fn_resigned_copy output target signer)
  fn_sign_command(sign_cmd ${signer} ${output}.unsigned ${output})
  get_filename_component(output_dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_COMMAND} -E remove -f ${output} ${output}.unsigned
    COMMAND ${FN_OSSLSIGNCODE} remove-signature -in $<TARGET_FILE:${target}> -out ${output}.unsigned
    COMMAND ${sign_cmd}
    COMMAND ${CMAKE_COMMAND} -E remove -f ${output}.unsigned
    DEPENDS ${target} VERBATIM)
endfunction()
