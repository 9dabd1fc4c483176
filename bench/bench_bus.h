/* What the event bus benchmark and its subscriber plugin agree on. */
#ifndef BENCH_BUS_H
#define BENCH_BUS_H

#include <stdint.h>

/* Subscriber copies are installed as "bench_sub_NN.so"; NN is the subscriber's index, which
 * also gives its module number and so a distinct identifier for every copy. */
#define BENCH_SUBSCRIBER_PREFIX "bench_sub_"
#define BENCH_FIRST_MODULE 0x40u
#define BENCH_SUBSCRIBER_ID(index) ((BENCH_FIRST_MODULE + (uint32_t)(index)) << 16)

/* The raisers' identifier: no plugin has it, so no subscriber is the source. */
#define BENCH_RAISER_ID 0x003F0000u

/* Benchmark events: class 1 with one code bit that the subscribers take. */
#define BENCH_CLASS 0x2u
#define BENCH_CODE 0x10u

/* Exported by the benchmark executable: called once per subscriber per delivered event. */
typedef void (*BenchDeliveredEntry)(uint32_t index, const void *data, uint32_t length);
#define BENCH_DELIVERED_SYMBOL "BenchDelivered"

/* Exported by the subscriber plugin: the baseline's per-subscriber call, the same work as Write
 * minus the core's call record. */
typedef void (*BenchNotifyEntry)(const void *data, uint32_t length);
#define BENCH_NOTIFY_SYMBOL "BenchSubscriberNotify"

#endif
