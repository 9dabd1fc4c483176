# Holds the stop sequence in Close until the test releases it.
dvr_test_plugin_from(slow_close ${CMAKE_CURRENT_SOURCE_DIR}/../core/slow_close_plugin.c slow_close)
