# Plugins for the event bus tests: subscribers, direct-request servers and thread owners.
# Masks list classes 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400.

# Subscribers of every class-0x2 code, and of every log message (class 0x40).
dvr_test_plugin(bus_a DEFS TP_ID=0x00300000u "TP_MASKS=0,0xFFFFFFFF,0,0,0,0,0,0,0")
dvr_test_plugin(bus_b DEFS TP_ID=0x00310000u "TP_MASKS=0,0xFFFFFFFF,0,0,0,0,0,0,0")
dvr_test_plugin(bus_c DEFS TP_ID=0x00320000u "TP_MASKS=0,0xFFFFFFFF,0,0,0,0,0,0,0")
dvr_test_plugin(bus_log DEFS TP_ID=0x003D0000u "TP_MASKS=0,0,0,0,0,0,0xFFFFFFFF,0,0")
# Subscribed to nothing but the code-0 events of each class.
dvr_test_plugin(bus_plain DEFS TP_ID=0x00330000u)
# Subscribed to class 0x2 but exports no IOCTL, or takes no Write.
dvr_test_plugin(bus_no_ioctl DEFS TP_ID=0x00340000u TP_OMIT_IOCTL
  "TP_MASKS=0,0xFFFFFFFF,0,0,0,0,0,0,0")
dvr_test_plugin(bus_no_write DEFS TP_ID=0x00350000u TP_WRITE=0
  "TP_MASKS=0,0xFFFFFFFF,0,0,0,0,0,0,0")

# Queued-event matching: classes 0x1 and 0x80 with bits 25, 2, 0, or with bits 24, 2, 0;
# class 0x400 with the low byte.
dvr_test_plugin(bus_bits25 DEFS TP_ID=0x00360000u "TP_MASKS=0x02000005,0,0,0,0,0,0,0x02000005,0xFF")
dvr_test_plugin(bus_bits24 DEFS TP_ID=0x00370000u "TP_MASKS=0x01000005,0,0,0,0,0,0,0x01000005,0")

# Direct-request servers: class 0x1 with bit 23 (and the level-query code of class 0x40), or
# with bit 24; and a subscriber of the same codes that has no reader.
dvr_test_plugin(bus_req23 DEFS TP_ID=0x00380000u TP_READER=1
  "TP_MASKS=0x00800000,0,0,0,0,0,0x1,0,0")
dvr_test_plugin(bus_req24 DEFS TP_ID=0x00390000u TP_READER=1 "TP_MASKS=0x01000000,0,0,0,0,0,0,0,0")
dvr_test_plugin(bus_no_reader DEFS TP_ID=0x003A0000u "TP_MASKS=0xFFFFFFFF,0,0,0,0,0,0x1,0,0")
# Serves every class-0x8 request; its request threads raise tagged events.
dvr_test_plugin(bus_server DEFS TP_ID=0x003B0000u TP_READER=1 "TP_MASKS=0,0,0,0xFFFFFFFF,0,0,0,0,0")
# Has a worker thread that raises events.
dvr_test_plugin(bus_worker DEFS TP_ID=0x003C0000u TP_WORKER=1)
