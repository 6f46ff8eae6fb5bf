# The tests of a Windows cross build, run under Wine: the setup of Wine itself, and the shell
# tests, built for the build machine in a build of their own and aimed at the Windows programs.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "Wine runs the tests of a Windows build, and it was not found: install "
                      "Debian's wine64, or configure with -DKELDRAN_BUILD_TESTS=OFF")
endif()
get_filename_component(wine_folder ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(KELDRAN_WINESERVER NAMES wineserver HINTS ${wine_folder} NO_CMAKE_FIND_ROOT_PATH
             REQUIRED)

# A Wine prefix of the build's own, so that the tests neither use nor change the user's, with
# Wine's debugging messages and its offers to install .NET and a browser engine turned off.
set(wine_prefix ${PROJECT_BINARY_DIR}/wine)
set(KELDRAN_EMULATOR_ENVIRONMENT WINEPREFIX=${wine_prefix} WINEDEBUG=-all
                                 WINEDLLOVERRIDES=mscoree,mshtml=)

# Makes the prefix before any test, since its first start prints to standard error, and keeps
# Wine's server up between the tests rather than starting it for each.
add_test(NAME Wine.Prefix
         COMMAND ${CMAKE_COMMAND} -D wine=${CMAKE_CROSSCOMPILING_EMULATOR}
                 -D wineserver=${KELDRAN_WINESERVER} -D log=${PROJECT_BINARY_DIR}/wine.log
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix.cmake)
set_tests_properties(Wine.Prefix PROPERTIES ENVIRONMENT "${KELDRAN_EMULATOR_ENVIRONMENT}"
                                            FIXTURES_SETUP emulator)

# Wine as the shell tests start it, and keldran and keldran-echo, each its .exe under Wine.
set(under_wine ${PROJECT_BINARY_DIR}/under-wine)
list(JOIN KELDRAN_EMULATOR_ENVIRONMENT " " environment)
set(wine_script "#!/bin/sh\n${environment} exec '${CMAKE_CROSSCOMPILING_EMULATOR}' \"$@\"\n")
foreach(program keldran keldran-echo)
  set(${program}_script "#!/bin/sh\nexec '${under_wine}/wine' '$<TARGET_FILE:${program}>' \"$@\"\n")
endforeach()
foreach(script wine keldran keldran-echo)
  file(GENERATE OUTPUT ${under_wine}/${script} CONTENT "${${script}_script}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
endforeach()

# The shell tests and the comparison with Linux, built for the build machine. The build is the
# whole project without a toolchain, configured with the folder of the programs above.
include(ExternalProject)
set(shell_tests ${under_wine}/build)
ExternalProject_Add(
  shell_tests_for_the_build_machine
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${under_wine}/build
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DKELDRAN_WERROR=${KELDRAN_WERROR}
             -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
             -DKELDRAN_PROGRAMS_UNDER_TEST=${under_wine}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --parallel 2 --target cli_test echo_cli_test
                windows_test
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  DEPENDS keldran keldran-echo)

# The zip package, made by cpack before the test that unpacks it.
keldran_build_packages_first(${under_wine}/packages)

foreach(suite cli_test echo_cli_test windows_test)
  add_test(NAME ${suite}.under_wine COMMAND ${shell_tests}/${suite})
  set_tests_properties(${suite}.under_wine PROPERTIES FIXTURES_REQUIRED "emulator;packages")
endforeach()
