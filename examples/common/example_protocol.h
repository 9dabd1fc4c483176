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

#include <dvrcore/dvrplugin.h>

/* Module identifiers of the example plugins. Bits 27..16 are the module number: it must be
 * unique and below 255, owns the plugin's log level and addresses supervisor packets. */
#define EXAMPLE_CAMERA_ID 0x00500000u
#define EXAMPLE_RECORDER_ID 0x00510000u
#define EXAMPLE_SCRIBE_ID 0x00520000u
#define EXAMPLE_ADMIN_ID 0x00530000u

/* Every packet on the supervisor socket, in both directions, starts with the plugin header's
 * DvrPacketHeader. The core reads it on packets from the supervisor; on messages from plugins it
 * is our own convention, since the core writes those unchanged: there target is the plugin's
 * id. The core's own packet types are DVR_PACKET_IDENTITY and DVR_PACKET_STOP; every other
 * type goes to the plugin that DVR_PACKET_TARGET(id) names. */

/* Packets for the admin plugin. */
#define EXAMPLE_PACKET_STATUS 0x10u    /* no payload: answer with a status message */
#define EXAMPLE_PACKET_SET_LEVEL 0x11u /* payload: text "<module> <level>" */

/* Messages from plugins: the header with the plugin's id as target, then text (no NUL). */
#define EXAMPLE_MESSAGE_TEXT 0x20u

/* A text message as a malloc block, ready to hand to the core with class DVR_CMD_SEND (the
 * core frees it). Returns NULL when memory is short. */
static inline void *example_text_message(uint32_t source, const char *text, uint32_t *length) {
    const size_t textLength = strlen(text);
    DvrPacketHeader header;
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
