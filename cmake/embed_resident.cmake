# Embeds a resident image into the build as a C++ byte array, after checking
# it by the same rules the flasher applies before sending one: magic "M6",
# body length 2..3014, the image exactly body + 10 bytes, CRC over the whole
# image 0, rate field automatic (0xFFFE) or even and at least 2400, and the
# marker 0x40 at the divisor position. A file that fails stops the configure
# step with the reason.
#
# travek_embed_resident(<image file> <generated .cc>)

function(_travek_crc16 hex count out_var)
  set(crc 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last})
    math(EXPR pos "${i} * 2")
    string(SUBSTRING "${hex}" ${pos} 2 byte)
    math(EXPR crc "${crc} ^ 0x${byte}")
    foreach(bit RANGE 1 8)
      math(EXPR low "${crc} & 1")
      if(low)
        math(EXPR crc "(${crc} >> 1) ^ 0x8408")
      else()
        math(EXPR crc "${crc} >> 1")
      endif()
    endforeach()
  endforeach()
  set(${out_var} ${crc} PARENT_SCOPE)
endfunction()

function(_travek_word hex offset out_var)
  math(EXPR pos "${offset} * 2")
  string(SUBSTRING "${hex}" ${pos} 2 lo)
  math(EXPR pos "${pos} + 2")
  string(SUBSTRING "${hex}" ${pos} 2 hi)
  math(EXPR word "0x${hi} * 256 + 0x${lo}")
  set(${out_var} ${word} PARENT_SCOPE)
endfunction()

function(travek_embed_resident image generated)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${image}")
  if(NOT EXISTS "${image}")
    message(FATAL_ERROR "Resident image ${image}: no such file")
  endif()
  file(READ "${image}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  set(what "Resident image ${image}")
  if(size LESS 10)
    message(FATAL_ERROR "${what}: ${size} bytes is too short for a header and a CRC")
  endif()
  _travek_word("${hex}" 0 magic)
  _travek_word("${hex}" 2 body_length)
  _travek_word("${hex}" 4 rate)
  _travek_word("${hex}" 6 divisor_offset)
  if(NOT magic EQUAL 13901)  # 0x364D, "M6"
    message(FATAL_ERROR "${what}: bad magic (not \"M6\")")
  endif()
  if(body_length GREATER 3014 OR body_length LESS 2)
    message(FATAL_ERROR "${what}: body length ${body_length} is not within 2..3014")
  endif()
  math(EXPR expected "${body_length} + 10")
  if(NOT size EQUAL expected)
    message(FATAL_ERROR "${what}: ${size} bytes, but body length ${body_length} makes ${expected}")
  endif()
  _travek_crc16("${hex}" ${size} crc)
  if(NOT crc EQUAL 0)
    message(FATAL_ERROR "${what}: CRC check failed (the trailer does not match the image)")
  endif()
  math(EXPR rate_odd "${rate} % 2")
  if(NOT rate EQUAL 65534 AND (rate LESS 2400 OR rate_odd))
    message(FATAL_ERROR "${what}: rate field ${rate} is neither automatic nor an even rate >= 2400")
  endif()
  math(EXPR marker_at "6 + ${divisor_offset}")
  set(marker 0)
  if(marker_at LESS size)
    math(EXPR pos "${marker_at} * 2")
    string(SUBSTRING "${hex}" ${pos} 2 marker_hex)
    math(EXPR marker "0x${marker_hex}")
  endif()
  if(NOT marker EQUAL 64)
    message(FATAL_ERROR "${what}: no marker 0x40 at the divisor position (offset ${marker_at})")
  endif()

  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," listed "${hex}")
  set(bytes "")
  string(LENGTH "${listed}" listed_length)
  foreach(pos RANGE 0 ${listed_length} 80)  # 16 bytes of "0x..," a line
    string(SUBSTRING "${listed}" ${pos} 80 line)
    string(APPEND bytes "    ${line}\n")
  endforeach()
  file(WRITE "${generated}.tmp"
    "// Generated from ${image}; do not edit.\n"
    "#include \"assets/builtin_resident.h\"\n\n"
    "namespace travek {\n\n"
    "const uint8_t kBuiltinResident[] = {\n${bytes}};\n"
    "const uint32_t kBuiltinResidentSize = sizeof(kBuiltinResident);\n\n"
    "}  // namespace travek\n")
  file(COPY_FILE "${generated}.tmp" "${generated}" ONLY_IF_DIFFERENT)
  message(STATUS "Embedded resident: ${image} (body ${body_length} bytes)")
endfunction()
