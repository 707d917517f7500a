/* The stream's floor: a device library in plain C making the stand-in's packets on its schedule
 * from one thread, with the same settings (docs/benchmark.md). */
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <zmq.h>

#include "Vesk_Device.h"
#include "vesk/waveform.h"

static void *context, *publisher;
static pthread_t device;
static atomic_bool stopping;
static long rate = VESK_DEFAULT_RATE;

static void *run(void *unused)
{
    (void)unused;
    const long period = 1000000000L / rate;
    uint32_t noise = VESK_NOISE_SEED;
    struct timespec due, now;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (uint64_t sequence = 0; !atomic_load(&stopping); ++sequence) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec < due.tv_sec || (now.tv_sec == due.tv_sec && now.tv_nsec < due.tv_nsec))
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL);
        due.tv_nsec += period;
        if (due.tv_nsec >= 1000000000L) {
            due.tv_nsec -= 1000000000L;
            ++due.tv_sec;
        }
        vesk_packet packet = {sequence, 0, {0}};
        clock_gettime(CLOCK_REALTIME, &now);
        packet.time_ns = (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
        vesk_fill_samples(&packet, rate, &noise);
        unsigned char message[VESK_MESSAGE_SIZE];
        vesk_encode(&packet, message);
        zmq_send(publisher, message, sizeof message, ZMQ_DONTWAIT);
    }
    return NULL;
}

void EnableZMQData(void)
{
    const char *endpoint = getenv("VESK_DEVICE_ENDPOINT");
    int no_linger = 0;
    context = zmq_ctx_new();
    publisher = zmq_socket(context, ZMQ_PUB);
    zmq_setsockopt(publisher, ZMQ_LINGER, &no_linger, sizeof no_linger);
    zmq_bind(publisher, endpoint != NULL ? endpoint : VESK_DEFAULT_ENDPOINT);
}

void OpenVeskDevice(void)
{
    const char *text = getenv("VESK_DEVICE_RATE");
    if (text != NULL)
        rate = atol(text);
    pthread_create(&device, NULL, run, NULL);
}

void SetConfig_Bool(const char *key, bool value)
{
    (void)key;
    (void)value;
}

void CloseVeskDevice(void)
{
    atomic_store(&stopping, true);
    pthread_join(device, NULL);
    zmq_close(publisher);
    zmq_ctx_term(context);
}
