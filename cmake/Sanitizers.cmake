# AddressSanitizer and UndefinedBehaviorSanitizer for every target of the project. No recovery:
# the first report ends the program with an error, so a test or fuzz run cannot pass over it.
if(BELCARA_SANITIZE)
  set(BELCARA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # Coverage for libFuzzer in the library code; only the fuzz targets link the fuzzer itself.
    list(APPEND BELCARA_SANITIZER_FLAGS -fsanitize=fuzzer-no-link)
  endif()
  add_compile_options(${BELCARA_SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
endif()
