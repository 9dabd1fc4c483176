/*
 * example_protocol.h - what the example supervisor and the example plugins agree on.
 *
 * The core forwards supervisor packets to a plugin and writes a plugin's messages back to the
 * supervisor; it does not look into either beyond the packet header. What the packet types and
 * the messages mean is settled between the supervisor and its plugins, here in one header that
 * both sides include. A real system keeps such a header beside its supervisor.
 */
#ifndef EXAMPLE_PROTOCOL_H
#define EXAMPLE_PROTOCOL_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* Module identifiers of the example plugins. Bits 27..16 are the module number: it must be
 * unique and below 255, owns the plugin's log level and addresses supervisor packets. */
#define EXAMPLE_CAMERA_ID 0x00500000u
#define EXAMPLE_RECORDER_ID 0x00510000u
#define EXAMPLE_SCRIBE_ID 0x00520000u
#define EXAMPLE_ADMIN_ID 0x00530000u

/* Header of every packet on the supervisor socket, in both directions (little-endian words).
 * The core reads it on packets from the supervisor; on messages from plugins it is our own
 * convention, since the core writes those unchanged. */
typedef struct ExamplePacketHeader {
    uint32_t length; /* header included */
    uint32_t target; /* to a plugin: module number in bits 31..20; from a plugin: its id */
    uint32_t type;
    uint32_t word;   /* not examined by the core */
} ExamplePacketHeader;

/* The core's own packet types; every other type goes to the plugin named by target. */
#define EXAMPLE_PACKET_IDENTITY 7u /* payload: "name\0version" */
#define EXAMPLE_PACKET_STOP 8u

/* Packets for the admin plugin. */
#define EXAMPLE_PACKET_STATUS 0x10u    /* no payload: answer with a status message */
#define EXAMPLE_PACKET_SET_LEVEL 0x11u /* payload: text "<module> <level>" */

/* Messages from plugins: the header with the plugin's id as target, then text (no NUL). */
#define EXAMPLE_MESSAGE_TEXT 0x20u

/* The target word that addresses a plugin with this identifier. */
#define EXAMPLE_TARGET(id) ((((id) >> 16) & 0xFFFu) << 20)

/* A text message as a malloc block, ready to hand to the core with class DVR_CMD_SEND (the
 * core frees it). Returns NULL when memory is short. */
static inline void *example_text_message(uint32_t source, const char *text, uint32_t *length) {
    const size_t textLength = strlen(text);
    ExamplePacketHeader header;
    char *block = (char *)malloc(sizeof header + textLength);
    if (block == NULL) return NULL;
    header.length = (uint32_t)(sizeof header + textLength);
    header.target = source;
    header.type = EXAMPLE_MESSAGE_TEXT;
    header.word = 0;
    memcpy(block, &header, sizeof header);
    memcpy(block + sizeof header, text, textLength);
    *length = header.length;
    return block;
}

#endif /* EXAMPLE_PROTOCOL_H */
