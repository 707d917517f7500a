/* The stand-in's data message as the simulated device publishes it and a subscriber reads it,
 * one ZMQ message of one part per packet. This header is the layout's one definition, for C and
 * C++ alike. 48 bytes, every number little-endian:
 *
 *   offset  size  field
 *        0     8  sequence number, unsigned: 0 for the first packet the device made, one more
 *                 for each next
 *        8     8  time stamp, unsigned: nanoseconds since 1970-01-01 UTC at which the packet
 *                 was due on the device's schedule (packet n at n * 10^9 / rate after its start)
 *       16    32  8 channels, IEEE 754 32-bit floats: channel c (0 to 7) in the stand-in a
 *                 waveform of c + 1 Hz between -1 and 1 and a little noise (vesk/waveform.h)
 */
#ifndef VESK_MESSAGE_H
#define VESK_MESSAGE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

enum {
    VESK_CHANNELS = 8,
    VESK_SEQUENCE_OFFSET = 0,
    VESK_TIME_OFFSET = 8,
    VESK_SAMPLES_OFFSET = 16,
    VESK_MESSAGE_SIZE = VESK_SAMPLES_OFFSET + 4 * VESK_CHANNELS,
    VESK_MAX_RATE = 100000 /* packets per second */
};

#define VESK_DEFAULT_ENDPOINT "tcp://127.0.0.1:5555"

typedef struct vesk_packet {
    uint64_t sequence;
    uint64_t time_ns;
    float samples[VESK_CHANNELS];
} vesk_packet;

static inline void vesk_put_le(unsigned char *to, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to[i] = (unsigned char)(value >> (8 * i));
}

static inline uint64_t vesk_get_le(const unsigned char *from, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | from[i];
    return value;
}

/* Writes `packet` as VESK_MESSAGE_SIZE bytes into `out`. */
static inline void vesk_encode(const vesk_packet *packet, unsigned char *out)
{
    vesk_put_le(out + VESK_SEQUENCE_OFFSET, packet->sequence, 8);
    vesk_put_le(out + VESK_TIME_OFFSET, packet->time_ns, 8);
    for (int c = 0; c < VESK_CHANNELS; ++c) {
        uint32_t bits;
        memcpy(&bits, &packet->samples[c], sizeof bits);
        vesk_put_le(out + VESK_SAMPLES_OFFSET + 4 * c, bits, 4);
    }
}

/* The packet in the VESK_MESSAGE_SIZE bytes at `in`. */
static inline vesk_packet vesk_decode(const unsigned char *in)
{
    vesk_packet packet;
    packet.sequence = vesk_get_le(in + VESK_SEQUENCE_OFFSET, 8);
    packet.time_ns = vesk_get_le(in + VESK_TIME_OFFSET, 8);
    for (int c = 0; c < VESK_CHANNELS; ++c) {
        uint32_t bits = (uint32_t)vesk_get_le(in + VESK_SAMPLES_OFFSET + 4 * c, 4);
        memcpy(&packet.samples[c], &bits, sizeof bits);
    }
    return packet;
}

#endif
