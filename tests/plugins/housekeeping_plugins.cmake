# Takes the core's status documents (class 0x4) through Write.
dvr_test_plugin(status_watcher DEFS TP_ID=0x00300000u "TP_MASKS=0,0,0xFFFFFFFF,0,0,0,0,0,0")

# Grows the core's resident memory past the throttling limit, then raises video frames.
add_library(tp_memory_hog MODULE ${CMAKE_CURRENT_SOURCE_DIR}/../housekeeping/memory_hog_plugin.c)
target_include_directories(tp_memory_hog PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(tp_memory_hog PRIVATE -Wall -Wextra -Werror)
target_link_libraries(tp_memory_hog PRIVATE Threads::Threads)
set_target_properties(tp_memory_hog PROPERTIES PREFIX "" OUTPUT_NAME memory_hog
                      LIBRARY_OUTPUT_DIRECTORY ${TEST_PLUGIN_DIR})
add_dependencies(dvrcore_test_plugins tp_memory_hog)
