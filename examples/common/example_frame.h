/*
 * example_frame.h - the video frame layout that the example camera raises and the example
 * recorder stores. The core looks only at the event's key-frame flag; the bytes of the frame are
 * an agreement between the plugins that raise and the plugins that take them.
 */
#ifndef EXAMPLE_FRAME_H
#define EXAMPLE_FRAME_H

#include <stdint.h>

#define EXAMPLE_FRAME_MAGIC 0x4D415246u /* "FRAM" */

typedef struct ExampleFrameHeader {
    uint32_t magic;
    uint32_t sequence;       /* counts every frame the camera produced, raised or not */
    uint64_t captureTimeUs;  /* monotonic clock */
    uint16_t width;
    uint16_t height;
    uint32_t payloadBytes;   /* picture bytes after this header */
} ExampleFrameHeader;

#endif /* EXAMPLE_FRAME_H */
