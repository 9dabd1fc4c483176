# The plugin header as plugin authors meet it, checked by CTest outside the test executables.
set(dvr_plugin_header ${PROJECT_SOURCE_DIR}/include/dvrcore/dvrplugin.h)
set(dvr_header_flags -Wall -Wextra -Werror -pedantic-errors -fsyntax-only)

# Alone, without the project's include paths, as C and as C++.
add_test(NAME PluginHeader.CompilesAloneAsC99
         COMMAND ${CMAKE_C_COMPILER} -std=c99 ${dvr_header_flags} -x c ${dvr_plugin_header})
add_test(NAME PluginHeader.CompilesAloneAsC11
         COMMAND ${CMAKE_C_COMPILER} -std=c11 ${dvr_header_flags} -x c ${dvr_plugin_header})
add_test(NAME PluginHeader.CompilesAloneAsCxx11
         COMMAND ${CMAKE_CXX_COMPILER} -std=c++11 ${dvr_header_flags} -x c++ ${dvr_plugin_header})

# With 4-byte pointers its layout asserts are the device's (asserts compile from C11 on). Freestanding, so that no 32-bit C
# library headers are needed; a cross build checks the device's layout with the tests above.
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
