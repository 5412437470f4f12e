# Benchmark programs (scripts/bench runs and prints them). They are built with everything else
# so that they cannot rot; only the waits report runs as a test, once, to prove it still works.
if(WIN32)
  # The floor a reinstall is measured against: the bare spooler calls that carry printers over.
  add_executable(bench_baseline ${CMAKE_SOURCE_DIR}/bench/baseline.c)
  target_compile_definitions(bench_baseline PRIVATE UNICODE _UNICODE)
  target_link_options(bench_baseline PRIVATE -static -municode)
  target_link_libraries(bench_baseline PRIVATE winspool advapi32)
  set_target_properties(bench_baseline PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/bench)
else()
  add_executable(bench_waits ${CMAKE_SOURCE_DIR}/bench/waits.cpp)
  target_link_libraries(bench_waits PRIVATE orvinst_core)
  add_test(NAME bench.waits COMMAND bench_waits)
endif()
