# Test plugins for the loader, unloader and plugin-thread tests. Names start with "ld_" so that
# they cannot clash with the sets of other test groups.

# A default level outside -1..100 below the range; 101 above it is "level101".
dvr_test_plugin(ld_level_minus2 DEFS TP_ID=0x00240000u TP_DEFAULT_LEVEL=-2)
# Worker and reader like "threads", but closes (and so unloads) before it: close key 2.
dvr_test_plugin(ld_threads_first DEFS TP_ID=0x00260000u TP_WORKER=1 TP_READER=1
  "TP_MASKS=0,0,0,0,0,2,0,0,0")
