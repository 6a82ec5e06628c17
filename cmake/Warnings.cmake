# Warnings for our own targets (src, tests, tools, bench), set per directory so that nothing
# fetched or generated outside them is affected.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wshadow)
  if(BELCARA_WERROR AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Werror)
  endif()
endif()
