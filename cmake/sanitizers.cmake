# AddressSanitizer and UndefinedBehaviorSanitizer over the whole build; any
# finding aborts the test that caused it.
if(TRAVEK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
