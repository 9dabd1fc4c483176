# Takes the core's status documents (class 0x4) through Write.
dvr_test_plugin(status_watcher DEFS TP_ID=0x00300000u "TP_MASKS=0,0,0xFFFFFFFF,0,0,0,0,0,0")

# Grows the core's resident memory past the throttling limit, then raises video frames.
dvr_test_plugin_from(memory_hog ${CMAKE_CURRENT_SOURCE_DIR}/../housekeeping/memory_hog_plugin.c)
