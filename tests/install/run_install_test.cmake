# cmake -P script: install, run the installed programs, configure the consumer against the
# prefix, build it, run it.
foreach(var LUMENFOLD_BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR GENERATOR BINDIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_install_test.cmake: ${var} is not set")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/consumer-build)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok")
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

run_step("install" ${CMAKE_COMMAND} --install ${LUMENFOLD_BUILD_DIR} --prefix ${prefix})

# Each installed program starts from the prefix alone: no library path from the
# environment, and no display (its --help must not need one).
string(REPLACE "," ";" programs "${PROGRAMS}")
foreach(program IN LISTS programs)
  set(exe ${prefix}/${BINDIR}/${program})
  run_step("run installed ${program} --help" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
    --unset=QT_QPA_PLATFORM --unset=DISPLAY --unset=WAYLAND_DISPLAY ${exe} --help)
  if(NOT step_output MATCHES "${program}")
    message(FATAL_ERROR "${program} --help did not name the program:\n${step_output}")
  endif()
endforeach()

set(configure_args -S ${CONSUMER_SOURCE_DIR} -B ${consumer_build} -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix})
if(CXX_COMPILER)
  list(APPEND configure_args -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()
if(BUILD_TYPE)
  list(APPEND configure_args -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()
run_step("configure consumer" ${CMAKE_COMMAND} ${configure_args})
run_step("build consumer" ${CMAKE_COMMAND} --build ${consumer_build})

# The consumer must pick up the installed libraries, never the build tree's.
run_step("run consumer" ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
  ${consumer_build}/lumenfold_consumer ${prefix})
message(STATUS "consumer said:\n${step_output}")
if(NOT step_output MATCHES "lumenfold consumer: ok")
  message(FATAL_ERROR "consumer did not report success")
endif()
