# Runs serverhub-default-config, checks its comments and that its output loads back in the store.
# Expects TOOL (the executable) and WORK (a scratch folder, removed at the end).
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

execute_process(COMMAND "${TOOL}" OUTPUT_VARIABLE printed ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "printing failed (${status}): ${errors}")
endif()
foreach(line
    "\t\"port-wss\" : 443, // <uint> [optional] The port to run the server on"
    "\t\"threads\" : 1 // <uint> [optional] Number of HTTP listener threads to start [>=1]"
    "} // <object> [REQUIRED] ")
  string(FIND "${printed}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing line '${line}' in:\n${printed}")
  endif()
endforeach()

file(WRITE "${WORK}/printed.conf" "${printed}")
execute_process(COMMAND "${TOOL}" "${WORK}/saved.conf" ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "writing a file failed (${status}): ${errors}")
endif()
foreach(file printed.conf saved.conf)
  execute_process(COMMAND "${TOOL}" --check "${WORK}/${file}" OUTPUT_VARIABLE out ERROR_VARIABLE errors
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${file} does not load (${status}): ${errors}")
  endif()
endforeach()

# A broken file is refused with the reader's message.
file(WRITE "${WORK}/broken.conf" "{\"port-wss\": }")
execute_process(COMMAND "${TOOL}" --check "${WORK}/broken.conf" OUTPUT_QUIET ERROR_VARIABLE errors
                RESULT_VARIABLE status)
if(status EQUAL 0 OR NOT errors MATCHES "Syntax error")
  message(FATAL_ERROR "a broken file was not refused (${status}): ${errors}")
endif()
file(REMOVE_RECURSE "${WORK}")
