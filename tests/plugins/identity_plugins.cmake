# The identity tests' plugin: its worker and reader stay in their calls until Close, and it
# notes which thread ran each call.
add_library(tp_identity_threads MODULE ${CMAKE_CURRENT_SOURCE_DIR}/../core/identity_plugin.c)
target_include_directories(tp_identity_threads PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(tp_identity_threads PRIVATE -Wall -Wextra -Werror)
target_link_libraries(tp_identity_threads PRIVATE Threads::Threads)
set_target_properties(tp_identity_threads PROPERTIES PREFIX "" OUTPUT_NAME identity_threads
                      LIBRARY_OUTPUT_DIRECTORY ${TEST_PLUGIN_DIR})
add_dependencies(dvrcore_test_plugins tp_identity_threads)
