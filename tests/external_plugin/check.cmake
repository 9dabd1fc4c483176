# Builds the external plugin with a build of its own, from a copy of the plugin header alone,
# then runs the real core executable with it and checks what the plugin reports.
#   cmake -DSOURCE_DIR= -DHEADER= -DWORK= -DGENERATOR= -DC_COMPILER= [-DTOOLCHAIN=]
#         -DCORE= [-DLAUNCHER=] -P check.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${status}):\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/include/dvrcore ${WORK}/core/plugins ${WORK}/core/work)
file(COPY ${HEADER} DESTINATION ${WORK}/include/dvrcore)

set(configure -S ${SOURCE_DIR} -B ${WORK}/build -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DDVRPLUGIN_INCLUDE_DIR=${WORK}/include)
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
run(${CMAKE_COMMAND} ${configure})
run(${CMAKE_COMMAND} --build ${WORK}/build)

file(COPY ${CORE} DESTINATION ${WORK}/core)
file(COPY ${WORK}/build/external.so DESTINATION ${WORK}/core/plugins)
get_filename_component(core_name ${CORE} NAME)
separate_arguments(launcher UNIX_COMMAND "${LAUNCHER}")
# The plugin stops the core itself; the limit only keeps a broken run from hanging the suite.
execute_process(COMMAND ${launcher} ${WORK}/core/${core_name}
                WORKING_DIRECTORY ${WORK}/core/work
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors
                TIMEOUT 120)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the core ended with ${status}\n${output}\n${errors}")
endif()

# Each report must come, in this order.
set(position 0)
foreach(expected "load records ok" "entry exported" "open, log level -1" "close"
                 "worker returns" "unload after 1 worker call(s)")
  string(SUBSTRING "${output}" ${position} -1 rest)
  string(FIND "${rest}" "external: ${expected}\n" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "missing or out of order: \"${expected}\"\n${output}\n${errors}")
  endif()
  math(EXPR position "${position} + ${found} + 1")
endforeach()
