# Holds the stop sequence in Close until the test releases it.
add_library(tp_slow_close MODULE ${CMAKE_CURRENT_SOURCE_DIR}/../core/slow_close_plugin.c)
target_include_directories(tp_slow_close PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(tp_slow_close PRIVATE -Wall -Wextra -Werror)
set_target_properties(tp_slow_close PROPERTIES PREFIX "" OUTPUT_NAME slow_close
                      LIBRARY_OUTPUT_DIRECTORY ${TEST_PLUGIN_DIR})
add_dependencies(dvrcore_test_plugins tp_slow_close)
