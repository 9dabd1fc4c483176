# The plugin header as plugin authors meet it, checked by CTest outside the test executables.
set(dvr_plugin_header ${PROJECT_SOURCE_DIR}/include/dvrcore/dvrplugin.h)
set(dvr_header_flags -Wall -Wextra -Werror -pedantic-errors -fsyntax-only)

# dvr_header_checks(<suite> <header> <standard>...): <suite>.CompilesAloneAs<standard> compiles
# the header alone, without the project's include paths, for each of C99, C11, Cxx11, ...
function(dvr_header_checks suite header)
  foreach(standard ${ARGN})
    string(TOLOWER ${standard} std)
    if(std MATCHES "^cxx")
      string(REPLACE "cxx" "c++" std ${std})
      set(compiler ${CMAKE_CXX_COMPILER} -x c++)
    else()
      set(compiler ${CMAKE_C_COMPILER} -x c)
    endif()
    add_test(NAME ${suite}.CompilesAloneAs${standard}
             COMMAND ${compiler} -std=${std} -Wall -Wextra -Werror -pedantic-errors -fsyntax-only
                     ${header})
  endforeach()
endfunction()
dvr_header_checks(PluginHeader ${dvr_plugin_header} C99 C11 Cxx11)

# With 4-byte pointers its layout asserts are the device's (asserts compile from C11 on).
# Freestanding, so that no 32-bit C library headers are needed; a cross build checks the
# device's layout with the tests above.
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  add_test(NAME PluginHeader.DeviceLayoutOn32BitX86
           COMMAND ${CMAKE_C_COMPILER} -m32 -ffreestanding -std=c11 ${dvr_header_flags}
                   -x c ${dvr_plugin_header})
endif()
find_program(DVR_CLANG NAMES clang)
if(DVR_CLANG)
  add_test(NAME PluginHeader.DeviceLayoutOnArmEabi
           COMMAND ${DVR_CLANG} --target=armv5te-unknown-linux-gnueabi -ffreestanding -std=c11
                   ${dvr_header_flags} -x c ${dvr_plugin_header})
endif()

# A plugin with its own build from the header alone, run in the real core.
add_test(NAME ExternalPlugin.BuiltFromTheHeaderAloneRunsInTheCore
         COMMAND ${CMAKE_COMMAND}
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/tests/external_plugin
                 -DHEADER=${dvr_plugin_header}
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/external-plugin
                 "-DGENERATOR=${CMAKE_GENERATOR}"
                 -DC_COMPILER=${CMAKE_C_COMPILER}
                 "-DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}"
                 -DCORE=$<TARGET_FILE:dvrcore>
                 "-DLAUNCHER=${DVRCORE_LAUNCHER}"
                 -P ${PROJECT_SOURCE_DIR}/tests/external_plugin/check.cmake)
set_tests_properties(ExternalPlugin.BuiltFromTheHeaderAloneRunsInTheCore PROPERTIES TIMEOUT 300)
