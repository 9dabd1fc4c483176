# Plugins that misbehave as plugins in the field do, and the slow-storage shim.
set(field_source ${PROJECT_SOURCE_DIR}/tests/core/field_plugin.c)
function(dvr_field_plugin name)
  dvr_test_plugin_from(${name} ${field_source} ${ARGN})
endfunction()

dvr_field_plugin(stall_write MB_ID=0x00400000u MB_TAKES MB_RAISES MB_WRITE=1)
dvr_field_plugin(crash_write MB_ID=0x00410000u MB_TAKES MB_RAISES MB_WRITE=2)
dvr_field_plugin(crash_worker MB_ID=0x00420000u MB_CRASH_WORKER)
dvr_field_plugin(raiser MB_ID=0x00430000u MB_RAISES)
dvr_field_plugin(taker MB_ID=0x00440000u MB_TAKES MB_WRITE=3)
dvr_field_plugin(frees_at_close MB_ID=0x00450000u MB_CLOSE_KEY=50 MB_CLOSE_WAITS)
dvr_field_plugin(id_zero MB_ID=0u)

dvr_test_plugin_from(slow_fsync_shim ${PROJECT_SOURCE_DIR}/tests/config/slow_fsync_shim.c)
set_target_properties(tp_slow_fsync_shim PROPERTIES
                      LIBRARY_OUTPUT_DIRECTORY ${TEST_PLUGIN_DIR}/../shims)
