# Every target of this project builds without a single warning. The project's
# own scripts and CI turn warnings into errors; a plain configure (a packager
# with flags of their own, a newer compiler) only shows them.
option(TRAVEK_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra)
if(TRAVEK_WERROR)
  add_compile_options(-Werror)
endif()
