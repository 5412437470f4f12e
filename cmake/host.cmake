# Host build: the installer's sources against winsim, the simulated machine, tested with GoogleTest.
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/drv/winsim/src/*.cpp)
# An object library, so that every area's reset hook is linked in whether or not a test
# calls into that area.
add_library(winsim OBJECT ${WINSIM_SOURCES})
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/drv/winsim/include)

add_library(orvinst_core STATIC ${INSTALL_SOURCES})
target_include_directories(orvinst_core PUBLIC ${CMAKE_SOURCE_DIR}/drv/install)
target_link_libraries(orvinst_core PUBLIC winsim)

file(GLOB_RECURSE HOST_TEST_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tests/app/*.cpp ${CMAKE_SOURCE_DIR}/tests/text/*.cpp
  ${CMAKE_SOURCE_DIR}/tests/system/*.cpp ${CMAKE_SOURCE_DIR}/tests/spooler/*.cpp
  ${CMAKE_SOURCE_DIR}/tests/flows/*.cpp ${CMAKE_SOURCE_DIR}/tests/tray/*.cpp
  ${CMAKE_SOURCE_DIR}/tests/winsim/*.cpp ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
# The scenario runner with the simulated machine's side (the Wine side is the win64 build's).
list(APPEND HOST_TEST_SOURCES ${CMAKE_SOURCE_DIR}/tests/scenarios/scenario_runner.cpp
  ${CMAKE_SOURCE_DIR}/tests/scenarios/machine_sim.cpp)
add_executable(orvinst_tests ${HOST_TEST_SOURCES})
target_include_directories(orvinst_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
# The scenario table, read when the tests start.
target_compile_definitions(orvinst_tests PRIVATE SCENARIO_DIR="${CMAKE_SOURCE_DIR}/tests/scenarios")
# A changed table relinks the tests, so that the list of tests follows it.
file(GLOB SCENARIO_TABLE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenarios/*.txt)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/tests/scenarios/machine_sim.cpp APPEND PROPERTY OBJECT_DEPENDS ${SCENARIO_TABLE})
target_link_libraries(orvinst_tests PRIVATE orvinst_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(orvinst_tests DISCOVERY_TIMEOUT 60)

# Optional fuzz targets (clang with libFuzzer), built when the fuzz folder has any.
file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
if(FUZZ_SOURCES AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake OPTIONAL)
endif()
include(cmake/bench.cmake)
