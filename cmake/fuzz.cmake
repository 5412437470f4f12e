# libFuzzer targets (clang): each source tests/fuzz/<name>.cpp is built with the program
# sources it exercises and winsim, and ctest runs it for FUZZ_SECONDS from its seeds.
set(FUZZ_SECONDS 30 CACHE STRING "How long ctest runs each fuzz target, in seconds")
add_custom_target(fuzz)

function(add_fuzz_target name)
  add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/fuzz/${name}.cpp ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/drv/install)
  target_link_libraries(${name} PRIVATE winsim)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz ${name})
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
  file(MAKE_DIRECTORY ${corpus})
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                   ${corpus} ${CMAKE_SOURCE_DIR}/tests/fuzz/${name}_seeds)
endfunction()

add_fuzz_target(pending_renames_fuzz ${CMAKE_SOURCE_DIR}/drv/install/system/pending_renames.cpp)
