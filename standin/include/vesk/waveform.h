/* The simulated device's signal and schedule, for the stand-in and the benchmark's C floor:
 * channel c carries a c + 1 Hz waveform and a little noise (docs/standin.md). */
#ifndef VESK_WAVEFORM_H
#define VESK_WAVEFORM_H

#include <math.h>
#include <stdint.h>

#include "vesk/message.h"

enum { VESK_DEFAULT_RATE = 250 /* packets per second */ };

/* The noise's generator state before the first packet. */
#define VESK_NOISE_SEED 12345u

/* Fills `packet`'s samples for its sequence number at `rate` packets per second, drawing the
 * noise from `noise` (a Lehmer generator, as std::minstd_rand). */
static inline void vesk_fill_samples(vesk_packet *packet, long rate, uint32_t *noise)
{
    double seconds = (double)packet->sequence / (double)rate;
    for (int c = 0; c < VESK_CHANNELS; ++c) {
        double phase = fmod(seconds * (c + 1), 1.0), wave;
        switch (c % 4) {
        case 0: wave = sin(2 * 3.14159265358979323846 * phase); break;
        case 1: wave = phase < 0.5 ? 1.0 : -1.0; break;
        case 2: wave = 4 * fabs(phase - 0.5) - 1; break;
        default: wave = 2 * phase - 1; break;
        }
        *noise = (uint32_t)((uint64_t)*noise * 48271u % 2147483647u);
        packet->samples[c] = (float)(wave + *noise / 2147483647.0 * 0.1 - 0.05);
    }
}

/* Nanoseconds from the schedule's start to packet `n` at `rate` per second, n * 10^9 / rate
 * rounded, never drifting; split at whole seconds so that nothing overflows 64 bits. */
static inline uint64_t vesk_due_ns(uint64_t n, long rate)
{
    const uint64_t r = (uint64_t)rate, second = 1000000000u;
    return n / r * second + (n % r * second + r / 2) / r;
}

#endif
