# Writes reference results of the openssl command line tool, an implementation independent
# of the library's code, for random texts and keys. One line per case, fields in hex
# ("-" when empty):
#   key  text  cipher  md5  tail  tail_plain
# cipher: DES-ECB with PKCS #5 padding of text under the key block (the key's first 8 bytes,
# zero-filled); md5: MD5 of text; tail: 1 to 7 random bytes; tail_plain: the first as many
# bytes of the raw DES decryption of tail zero-extended to one block.
# Text lengths run over 0..40, key lengths over 0..40; every third text has zero bytes inside.
#
# cmake -DOPENSSL=openssl -DOUTPUT=file -DWORK_DIR=dir -P crypto_reference.cmake
cmake_minimum_required(VERSION 3.25)

set(cases 164)
set(des -des-ecb -nosalt -provider legacy -provider default)

function(openssl)
  execute_process(COMMAND ${OPENSSL} ${ARGN}
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${err}")
  endif()
endfunction()

# Writes n random bytes (n may be 0).
function(random_file path n)
  if(n EQUAL 0)
    file(WRITE ${path} "")
  else()
    openssl(rand -out ${path} ${n})
  endif()
endfunction()

function(concatenate out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${ARGN} OUTPUT_FILE ${out} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not concatenate ${ARGN}")
  endif()
endfunction()

function(hex_of path out_var)
  file(READ ${path} hex HEX)
  if(hex STREQUAL "")
    set(hex "-")
  endif()
  set(${out_var} ${hex} PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# CMake strings cannot hold zero bytes: make files of 1 to 7 of them from base64.
set(zero_base64 "AA==" "AAA=" "AAAA" "AAAAAA==" "AAAAAAA=" "AAAAAAAA" "AAAAAAAAAA==")
foreach(k RANGE 1 7)
  math(EXPR index "${k} - 1")
  list(GET zero_base64 ${index} text)
  file(WRITE ${WORK_DIR}/zeros${k}.b64 "${text}\n")
  openssl(base64 -d -in ${WORK_DIR}/zeros${k}.b64 -out ${WORK_DIR}/zeros${k}.bin)
endforeach()

# Key bytes for all cases at once.
execute_process(COMMAND ${OPENSSL} rand -hex 4000 OUTPUT_VARIABLE key_pool
  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "openssl rand failed")
endif()

set(lines "")
set(key_offset 0)
math(EXPR last "${cases} - 1")
foreach(i RANGE ${last})
  set(text ${WORK_DIR}/text.bin)
  math(EXPR text_length "${i} % 41")
  math(EXPR key_length "(${i} * 17 + 3) % 41")

  math(EXPR third "${i} % 3")
  if(third EQUAL 0 AND text_length GREATER_EQUAL 3)
    # Random bytes, then 1 to 7 zero bytes, then random bytes again.
    math(EXPR before "${text_length} / 3")
    math(EXPR zeros "${text_length} - ${before} - 1")
    if(zeros GREATER 7)
      set(zeros 7)
    endif()
    math(EXPR after "${text_length} - ${before} - ${zeros}")
    random_file(${WORK_DIR}/before.bin ${before})
    random_file(${WORK_DIR}/after.bin ${after})
    concatenate(${text} ${WORK_DIR}/before.bin ${WORK_DIR}/zeros${zeros}.bin ${WORK_DIR}/after.bin)
  else()
    random_file(${text} ${text_length})
  endif()

  math(EXPR key_hex_length "${key_length} * 2")
  string(SUBSTRING "${key_pool}" ${key_offset} ${key_hex_length} key_hex)
  math(EXPR key_offset "${key_offset} + ${key_hex_length}")
  string(SUBSTRING "${key_hex}0000000000000000" 0 16 key_block)
  if(key_hex STREQUAL "")
    set(key_hex "-")
  endif()

  openssl(enc -e ${des} -K ${key_block} -in ${text} -out ${WORK_DIR}/cipher.bin)
  openssl(dgst -md5 -binary -out ${WORK_DIR}/md5.bin ${text})

  math(EXPR tail_length "1 + ${i} % 7")
  math(EXPR tail_zeros "8 - ${tail_length}")
  random_file(${WORK_DIR}/tail.bin ${tail_length})
  concatenate(${WORK_DIR}/tail_block.bin ${WORK_DIR}/tail.bin ${WORK_DIR}/zeros${tail_zeros}.bin)
  openssl(enc -d ${des} -nopad -K ${key_block}
    -in ${WORK_DIR}/tail_block.bin -out ${WORK_DIR}/tail_plain.bin)

  hex_of(${text} text_hex)
  hex_of(${WORK_DIR}/cipher.bin cipher_hex)
  hex_of(${WORK_DIR}/md5.bin md5_hex)
  hex_of(${WORK_DIR}/tail.bin tail_hex)
  hex_of(${WORK_DIR}/tail_plain.bin tail_plain_hex)
  math(EXPR tail_hex_length "${tail_length} * 2")
  string(SUBSTRING "${tail_plain_hex}" 0 ${tail_hex_length} tail_plain_hex)

  string(APPEND lines
    "${key_hex} ${text_hex} ${cipher_hex} ${md5_hex} ${tail_hex} ${tail_plain_hex}\n")
endforeach()

file(WRITE ${OUTPUT} "${lines}")
