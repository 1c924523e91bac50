# Embeds a resident image into the build as a C++ byte array. The array's
# source checks the image with the tool's own rules (the constexpr checks of
# bootstrap/resident_image.h, which the flasher runs before sending an
# image), and it is compiled here, at configure time, so that a file that
# is not a sound image stops the configure step with the reason.
#
# travek_embed_resident(<image file> <generated .cc>)

function(travek_embed_resident image generated)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${image}")
  set(what "Resident image ${image}")
  if(NOT EXISTS "${image}")
    message(FATAL_ERROR "${what}: no such file")
  endif()
  file(READ "${image}" hex HEX)
  if(hex STREQUAL "")
    message(FATAL_ERROR "${what}: an empty file")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," listed "${hex}")
  set(bytes "")
  string(LENGTH "${listed}" listed_length)
  foreach(pos RANGE 0 ${listed_length} 80)  # 16 bytes of "0x..," a line
    string(SUBSTRING "${listed}" ${pos} 80 line)
    string(APPEND bytes "    ${line}\n")
  endforeach()
  string(CONCAT source
    "// Generated from ${image}; do not edit.\n"
    "#include \"assets/builtin_resident.h\"\n"
    "#include \"bootstrap/resident_image.h\"\n\n"
    "namespace travek {\n\n"
    "constexpr uint8_t kBuiltinResident[] = {\n${bytes}};\n"
    "const uint32_t kBuiltinResidentSize = sizeof(kBuiltinResident);\n\n"
    "static_assert(embedded_image_sound<kBuiltinResident, sizeof(kBuiltinResident)>());\n\n"
    "}  // namespace travek\n")

  # Compiled alone, not linked: it has no main, and a cross build could not
  # run it anyway.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  try_compile(sound SOURCE_FROM_VAR builtin_resident_data.cc source
    NO_CACHE
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}/src"
    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
    OUTPUT_VARIABLE output)
  if(NOT sound)
    if(output MATCHES "unsound resident image: ([^\n\"]*)")
      message(FATAL_ERROR "${what}: ${CMAKE_MATCH_1}")
    endif()
    message(FATAL_ERROR "${what}: its check does not compile:\n${output}")
  endif()

  file(WRITE "${generated}.tmp" "${source}")
  file(COPY_FILE "${generated}.tmp" "${generated}" ONLY_IF_DIFFERENT)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  message(STATUS "Embedded resident: ${image} (${size} bytes)")
endfunction()
