# Included before the components when SENDRIFT_FUZZ is on: every library is compiled with
# coverage feedback and the sanitizers, so the fuzzers see into the code they call and any
# memory error or undefined behaviour stops the run as a crash.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "SENDRIFT_FUZZ needs clang (CC=clang CXX=clang++); scripts/fuzz sets it up")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
