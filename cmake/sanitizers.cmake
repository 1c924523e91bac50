# AddressSanitizer and UndefinedBehaviorSanitizer over the whole build; any
# finding aborts the test that caused it.
if(TRAVEK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The libFuzzer build (clang): every target instrumented for coverage, with
# ASan and UBSan; the fuzz target links libFuzzer's own main.
option(TRAVEK_FUZZ "Build the libFuzzer target (clang), with ASan and UBSan" OFF)
if(TRAVEK_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
