#pragma once

// The stand-in's data message as the simulated device publishes it and a subscriber reads it,
// one ZMQ message per packet: 48 bytes, little-endian. This header is its one definition.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk {

inline constexpr int kChannels = 8;
inline constexpr size_t kSequenceOffset = 0;  // unsigned 64-bit, 0 for the device's first packet
inline constexpr size_t kTimeOffset = 8;      // unsigned 64-bit, ns since the Unix epoch
inline constexpr size_t kSamplesOffset = 16;  // kChannels IEEE 754 32-bit floats
inline constexpr size_t kMessageSize = kSamplesOffset + 4 * kChannels;

inline constexpr char kDefaultEndpoint[] = "tcp://127.0.0.1:5555";
inline constexpr long kMaxRate = 100000;  // packets per second

struct Packet {
    uint64_t sequence;
    uint64_t time_ns;  // when the packet was due on the device's schedule
    float samples[kChannels];
};

inline void put_le(unsigned char *to, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint64_t get_le(const unsigned char *from, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | from[i];
    return value;
}

inline void encode(const Packet &packet, unsigned char (&out)[kMessageSize])
{
    put_le(out + kSequenceOffset, packet.sequence, 8);
    put_le(out + kTimeOffset, packet.time_ns, 8);
    for (int c = 0; c < kChannels; ++c) {
        uint32_t bits;
        std::memcpy(&bits, &packet.samples[c], sizeof bits);
        put_le(out + kSamplesOffset + 4 * c, bits, 4);
    }
}

// `in` holds kMessageSize bytes.
inline Packet decode(const unsigned char *in)
{
    Packet packet;
    packet.sequence = get_le(in + kSequenceOffset, 8);
    packet.time_ns = get_le(in + kTimeOffset, 8);
    for (int c = 0; c < kChannels; ++c) {
        uint32_t bits = static_cast<uint32_t>(get_le(in + kSamplesOffset + 4 * c, 4));
        std::memcpy(&packet.samples[c], &bits, sizeof bits);
    }
    return packet;
}

}  // namespace vesk
