# Every target of this project builds without a single warning.
add_compile_options(-Wall -Wextra -Werror)
