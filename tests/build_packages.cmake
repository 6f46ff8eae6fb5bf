# Builds the packages of a build tree into an emptied folder, so that the
# package tests see only what this run of cpack made.
# Takes: cpack (the command), config (CPackConfig.cmake), package_dir.
file(REMOVE_RECURSE "${package_dir}")
execute_process(COMMAND "${cpack}" --config "${config}" -B "${package_dir}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
