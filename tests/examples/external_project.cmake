# Installs the build into a fresh prefix, builds examples/external, a plugin project of its own,
# against the installed package with find_package(dvrcore) alone, runs that project's harness
# test, and checks that the pkg-config files lead to the same header and library.
#   cmake -D BUILD_DIR=... -D PROJECT_DIR=... -D WORK_DIR=... -D GENERATOR=... -D C_COMPILER=...
#         -D CTEST=... -D LIBDIR=... [-D TOOLCHAIN=...] [-D SANITIZE=...] -P external_project.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed bin/dvrcore bin/dvrcore-inspect include/dvrcore/dvrplugin.h
                  include/dvrcore/dvrharness.h ${LIBDIR}/libdvrcore-harness.so
                  share/dvrcore/cmake/dvrcoreConfig.cmake share/pkgconfig/dvrcore-plugin.pc
                  share/pkgconfig/dvrcore-harness.pc)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

set(configure ${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
# A cross build finds packages only inside its sysroot: name the package directory as well.
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
       -Ddvrcore_DIR=${prefix}/share/dvrcore/cmake)
endif()
# The harness library of a sanitizer build needs the sanitizer's runtime first in the test.
if(SANITIZE)
  list(APPEND configure -DCMAKE_C_FLAGS=-fsanitize=${SANITIZE}
       -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE})
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${build})
if(NOT EXISTS ${build}/hello.so)
  message(FATAL_ERROR "the external project built no hello.so")
endif()
run(${CTEST} --test-dir ${build} --output-on-failure)

# pkg-config: the flags name the installed header's directory and the harness library's.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/share/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags dvrcore-plugin
                RESULT_VARIABLE result OUTPUT_VARIABLE cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "^-I" "" include_dir "${cflags}")
if(NOT result EQUAL 0 OR NOT EXISTS ${include_dir}/dvrcore/dvrplugin.h)
  message(FATAL_ERROR "pkg-config gives '${cflags}', which holds no dvrplugin.h")
endif()
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs dvrcore-harness
                RESULT_VARIABLE result OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "-I([^ ]+)" ignored "${flags}")
set(include_dir ${CMAKE_MATCH_1})
string(REGEX MATCH "-L([^ ]+)" ignored "${flags}")
set(library_dir ${CMAKE_MATCH_1})
if(NOT result EQUAL 0 OR NOT EXISTS ${include_dir}/dvrcore/dvrharness.h
   OR NOT EXISTS ${library_dir}/libdvrcore-harness.so)
  message(FATAL_ERROR "pkg-config gives '${flags}', which leads to no harness")
endif()
message(STATUS "external plugin project built and tested against ${prefix}")
