# End-to-end tests: the real orvinst.exe under Wine against stand-in product components.
# The components, the scenario runner and the programs it lays out are test fixtures, not part
# of the product.
set(E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)
set(E2E_BIN_DIR ${CMAKE_BINARY_DIR}/bin/e2e)

# Each component DLL, all of one source, in every build the version-gate scenarios need, one
# folder per build; "none" carries no version resource at all.
set(E2E_COMPONENT_TARGETS)
foreach(build 2547 2450 2451 2548 none)
  foreach(name zelmon64 zeldrv64 zelui64)
    set(target e2e_${name}_${build})
    add_library(${target} SHARED ${E2E_DIR}/components/component.c)
    target_compile_definitions(${target} PRIVATE COMPONENT_${name})
    if(NOT build STREQUAL "none")
      target_sources(${target} PRIVATE ${E2E_DIR}/components/component.rc)
      target_compile_definitions(${target} PRIVATE COMPONENT_BUILD=${build})
    endif()
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
      RUNTIME_OUTPUT_DIRECTORY ${E2E_BIN_DIR}/components/${build}
      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/e2e-import/${build})
    list(APPEND E2E_COMPONENT_TARGETS ${target})
  endforeach()
endforeach()

# The help file is opaque to the installer: any content will do.
file(WRITE ${E2E_BIN_DIR}/components/zelhelp.chm "Orvandelle stand-in help\n")

add_executable(e2e_orvtray WIN32 ${E2E_DIR}/components/orvtray.c)
set_target_properties(e2e_orvtray PROPERTIES OUTPUT_NAME orvtray RUNTIME_OUTPUT_DIRECTORY ${E2E_BIN_DIR}/components)

# A DLL that anyone could drop beside the installer, named like system DLLs, leaving a mark
# when it is loaded or called; and a program built the usual way, which takes it.
add_library(e2e_planted SHARED ${E2E_DIR}/components/planted.c ${E2E_DIR}/components/planted.def)
set_target_properties(e2e_planted PROPERTIES PREFIX "" OUTPUT_NAME planted RUNTIME_OUTPUT_DIRECTORY ${E2E_BIN_DIR})
add_executable(e2e_naive_loader ${E2E_DIR}/components/naive_loader.c)
target_link_libraries(e2e_naive_loader PRIVATE version winspool)
set_target_properties(e2e_naive_loader PROPERTIES OUTPUT_NAME naive_loader RUNTIME_OUTPUT_DIRECTORY ${E2E_BIN_DIR})

# The scenario runner for Windows: the table's common runner with the Wine machine, run inside
# a prefix (tests/e2e/wine-scenario). It reads the table where the source tree lies, through Z:.
add_executable(scenario_runner ${CMAKE_SOURCE_DIR}/tests/scenarios/scenario_runner.cpp
  ${CMAKE_SOURCE_DIR}/tests/scenarios/machine_wine.cpp ${SYSTEM_BINDING_SOURCE})
target_include_directories(scenario_runner PRIVATE ${CMAKE_SOURCE_DIR}/drv/install ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(scenario_runner PRIVATE UNICODE _UNICODE
  SCENARIO_TABLE_DIR="Z:${CMAKE_SOURCE_DIR}/tests/scenarios")
target_link_options(scenario_runner PRIVATE -municode)
target_link_libraries(scenario_runner PRIVATE winspool advapi32 user32 gdi32)
set_target_properties(scenario_runner PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Everything a scenario or scripts/demo lays out or runs, without a runtime DLL beside it. The
# stand-ins' entry points take what their interface passes, used or not.
set(E2E_FIXTURES ${E2E_COMPONENT_TARGETS} e2e_orvtray e2e_planted e2e_naive_loader scenario_runner)
foreach(target ${E2E_FIXTURES})
  target_link_options(${target} PRIVATE -static)
endforeach()
foreach(target ${E2E_COMPONENT_TARGETS} e2e_planted e2e_orvtray)
  target_compile_options(${target} PRIVATE -Wno-unused-parameter)
endforeach()
add_custom_target(e2e_fixtures ALL)
add_dependencies(e2e_fixtures ${E2E_FIXTURES} orvinst)

# One CTest test per scenario of the table that Wine plays: every one not "only host:", under
# Xvfb where a run is pictured.
file(GLOB E2E_TABLE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenarios/*.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${E2E_TABLE})
set(E2E_SCENARIOS)
set(E2E_PICTURED)
foreach(file ${E2E_TABLE})
  file(STRINGS ${file} lines REGEX "^(scenario |  only host:|  run .* screenshot)")
  foreach(line ${lines})
    if(line MATCHES "^scenario ([A-Za-z0-9_]+)")
      set(scenario ${CMAKE_MATCH_1})
      list(APPEND E2E_SCENARIOS ${scenario})
    elseif(line MATCHES "^  only host:")
      list(REMOVE_ITEM E2E_SCENARIOS ${scenario})
    elseif(line MATCHES "^  run .* screenshot")
      list(APPEND E2E_PICTURED ${scenario})
    endif()
  endforeach()
endforeach()
set(E2E_PLAY ${CMAKE_SOURCE_DIR}/tests/e2e/wine-scenario ${CMAKE_BINARY_DIR})

add_test(NAME e2e.template COMMAND ${E2E_PLAY} --template)
set_tests_properties(e2e.template PROPERTIES LABELS e2e FIXTURES_SETUP e2e_template TIMEOUT 300)
foreach(scenario ${E2E_SCENARIOS})
  set(display)
  if(scenario IN_LIST E2E_PICTURED)
    set(display --display)
  endif()
  add_test(NAME e2e.${scenario} COMMAND ${E2E_PLAY} ${display} ${scenario})
  set_tests_properties(e2e.${scenario} PROPERTIES LABELS e2e FIXTURES_REQUIRED e2e_template TIMEOUT 300)
endforeach()
