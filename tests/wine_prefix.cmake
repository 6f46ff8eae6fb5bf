# Makes the Wine prefix named by WINEPREFIX, with Wine's server kept running for a minute after
# its last program ends rather than started anew for each test. Takes: wine, wineserver, log (a
# file for what they print).
# The server and Wine's services outlive these commands: their output goes to the log, not to
# ctest's pipe, which they would otherwise hold open. A server already running serves as well.
execute_process(COMMAND "${wineserver}" --persistent=60 INPUT_FILE /dev/null
                OUTPUT_FILE "${log}.server" ERROR_FILE "${log}.server")
execute_process(COMMAND "${wine}" wineboot --init RESULT_VARIABLE result
                INPUT_FILE /dev/null OUTPUT_FILE "${log}" ERROR_FILE "${log}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wineboot failed (${result}); see ${log}")
endif()
