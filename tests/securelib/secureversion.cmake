# Runs "sfx --secureversion" in a fresh directory, first without the secure
# library beside it (exit code 3 and the FATAL message), then with it
# ("Secure: OK" and exit code 0).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
get_filename_component(exe ${SFX} NAME)
get_filename_component(lib ${LIB} NAME)
file(COPY ${SFX} DESTINATION ${WORK})

execute_process(COMMAND ${EMULATOR} ${WORK}/${exe} --secureversion RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 3)
  message(FATAL_ERROR "without the library: exit ${rc}, expected 3\n${out}${err}")
endif()
if(NOT "${out}${err}" MATCHES "Shared library '.*secure.*' is missing; encryption is not available")
  message(FATAL_ERROR "without the library: missing FATAL message\n${out}${err}")
endif()

file(COPY ${LIB} DESTINATION ${WORK})
execute_process(COMMAND ${EMULATOR} ${WORK}/${exe} --secureversion RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "with the library: exit ${rc}, expected 0\n${out}${err}")
endif()
if(NOT "${out}${err}" MATCHES "Secure: OK")
  message(FATAL_ERROR "with the library: no 'Secure: OK'\n${out}${err}")
endif()
