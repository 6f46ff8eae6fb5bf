# Makes the Wine prefix named by WINEPREFIX, with Wine's server kept running for a minute after
# its last program ends rather than started anew for each test. Takes: wine, wineserver, log (a
# file for what they print).
# The server and Wine's services outlive these commands: their output goes to the log, not to
# ctest's pipe, which they would otherwise hold open. A server already running serves as well.
# The server starts in the prefix, so the folder is made first.
file(MAKE_DIRECTORY "$ENV{WINEPREFIX}")

function(start_wine result_variable)
  execute_process(COMMAND "${wineserver}" --persistent=60 INPUT_FILE /dev/null
                  OUTPUT_FILE "${log}.server" ERROR_FILE "${log}.server")
  execute_process(COMMAND "${wine}" wineboot --init RESULT_VARIABLE result
                  INPUT_FILE /dev/null OUTPUT_FILE "${log}" ERROR_FILE "${log}")
  set(${result_variable} ${result} PARENT_SCOPE)
endfunction()

start_wine(result)
if(NOT result EQUAL 0)
  # A first start can fail on a server that was still coming up: stop it and try once more.
  file(READ "${log}" first_log)
  execute_process(COMMAND "${wineserver}" --kill INPUT_FILE /dev/null
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 30)
  start_wine(result)
endif()
if(NOT result EQUAL 0)
  file(READ "${log}" second_log)
  file(READ "${log}.server" server_log)
  message(FATAL_ERROR "wineboot failed (${result}) twice. The first start printed:\n${first_log}\n"
                      "The second printed:\n${second_log}\nThe server printed:\n${server_log}")
endif()
