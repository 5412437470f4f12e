# Windows build: orvinst.exe, a statically linked GUI program, and its tests run under Wine
# through the toolchain's emulator (scripts/wine-run).
enable_language(RC)

# No runtime DLL beside the program: the compiler's C and C++ runtimes are linked in.
set(WIN64_STATIC_LINK -static)

# The executables (program and tests) share one folder, so a test finds orvinst.exe beside
# itself without turning Unix paths into Windows ones.
set(WIN64_BIN_DIR ${CMAKE_BINARY_DIR}/bin)

# WIN32 makes it a GUI program entered through WinMain (-mwindows).
add_executable(orvinst WIN32
  ${INSTALL_SOURCES}
  ${SYSTEM_BINDING_SOURCE}
  ${CMAKE_SOURCE_DIR}/drv/install/app/main.cpp
  ${CMAKE_SOURCE_DIR}/drv/install/app/orvinst.rc)
target_include_directories(orvinst PRIVATE ${CMAKE_SOURCE_DIR}/drv/install)
# No dependency scan sees the manifest that the script embeds: name it and the header here.
set_property(SOURCE ${CMAKE_SOURCE_DIR}/drv/install/app/orvinst.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/drv/install/app/orvinst.manifest
  ${CMAKE_SOURCE_DIR}/drv/install/app/resource.h)
target_link_options(orvinst PRIVATE ${WIN64_STATIC_LINK})
# Two builds of one commit give the same bytes: no link time stamp, and no source or build
# folder in the image (__FILE__, debug information) wherever the tree was checked out.
target_compile_options(orvinst PRIVATE
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
target_link_options(orvinst PRIVATE -Wl,--no-insert-timestamp)
# winspool.drv and version.dll are bound at run time (drv/install/system_binding.cpp): the
# import table names only DLLs that Windows always loads from its system directory.
target_link_libraries(orvinst PRIVATE advapi32 user32 shell32)
set_target_properties(orvinst PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WIN64_BIN_DIR})

# Each test is a console program that returns 0 or 1 and prints what failed.
file(GLOB WIN64_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win64/*_test.cpp)
foreach(source ${WIN64_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(win64_${name} ${source})
  target_include_directories(win64_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/win64)
  target_compile_definitions(win64_${name} PRIVATE UNICODE _UNICODE)
  target_link_options(win64_${name} PRIVATE ${WIN64_STATIC_LINK} -municode)
  target_link_libraries(win64_${name} PRIVATE version)
  set_target_properties(win64_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WIN64_BIN_DIR})
  add_dependencies(win64_${name} orvinst)
  add_test(NAME win64.${name} COMMAND win64_${name})
  set_tests_properties(win64.${name} PROPERTIES TIMEOUT 120)
endforeach()
include(cmake/e2e.cmake)

# The release steps on the built image: its imports, signing it (scripts/sign) with a throwaway
# certificate, and building it again in another folder, which must give the same bytes.
foreach(step image signing reproducible)
  add_test(NAME win64.${step}
    COMMAND ${CMAKE_SOURCE_DIR}/tests/win64/release.sh ${CMAKE_BINARY_DIR} ${step})
  set_tests_properties(win64.${step} PROPERTIES LABELS release TIMEOUT 900)
endforeach()

# The installer's sources as a library, for test programs that call them directly.
add_library(orvinst_lib STATIC ${INSTALL_SOURCES} ${SYSTEM_BINDING_SOURCE})
target_include_directories(orvinst_lib PUBLIC ${CMAKE_SOURCE_DIR}/drv/install)
target_link_libraries(orvinst_lib PUBLIC advapi32 user32 shell32)

# The conformance checks against Wine's own spooler and system. Not one of the *_test.cpp
# programs above: it adds a monitor, drivers and printers, so it runs in a throwaway prefix of
# its own, with the stand-in components of the end-to-end build beside it.
add_executable(win64_conformance ${CMAKE_SOURCE_DIR}/tests/win64/conformance.cpp)
target_include_directories(win64_conformance PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/win64)
target_compile_definitions(win64_conformance PRIVATE UNICODE _UNICODE)
target_link_options(win64_conformance PRIVATE ${WIN64_STATIC_LINK} -municode)
target_link_libraries(win64_conformance PRIVATE orvinst_lib)
set_target_properties(win64_conformance PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WIN64_BIN_DIR})
add_dependencies(win64_conformance e2e_zelmon64_2547 e2e_zeldrv64_2547 e2e_zelui64_2547)
add_test(NAME win64.conformance
  COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/wine-scenario ${CMAKE_BINARY_DIR} $<TARGET_FILE:win64_conformance>)
set_tests_properties(win64.conformance PROPERTIES LABELS conformance FIXTURES_REQUIRED e2e_template TIMEOUT 120)
include(cmake/bench.cmake)
