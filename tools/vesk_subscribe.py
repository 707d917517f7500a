#!/usr/bin/env python3
"""vesk_subscribe.py [ENDPOINT]: an example of a consumer of the device's data.

Subscribes to the data output at ENDPOINT (default tcp://127.0.0.1:5555) and prints every
packet on standard output, one line each: the sequence number, the time stamp (nanoseconds
since 1970-01-01 UTC) and the 8 channels, separated by commas, as `vesk-listen --csv` prints
them. The losses that the sequence numbers show go to standard error ("lost 12", "lost
12..15"). Ctrl+C ends it.

Needs pyzmq (Debian: apt-get install python3-zmq). Each packet is one ZMQ message of 48
bytes, laid out as message.h states: little-endian, two unsigned 64-bit integers and eight
32-bit IEEE 754 floats. With numpy, a list of messages decodes in one call:
    numpy.frombuffer(b"".join(messages),
                     [("sequence", "<u8"), ("time_ns", "<u8"), ("channels", "<f4", 8)])

A subscriber that connects while the stream runs misses what was published before its
connection took effect, so the first sequence number it sees is rarely 0; losses are counted
from the first packet it sees.
"""
import os
import struct
import sys

import zmq

PACKET = struct.Struct("<QQ8f")  # sequence, time_ns, channel 0 to 7


def main():
    endpoint = sys.argv[1] if len(sys.argv) > 1 else "tcp://127.0.0.1:5555"
    socket = zmq.Context().socket(zmq.SUB)
    socket.setsockopt(zmq.SUBSCRIBE, b"")
    socket.setsockopt(zmq.MAXMSGSIZE, 4096)  # a packet is 48 bytes; a huge message is refused
    socket.connect(endpoint)
    last = None
    while True:
        if not socket.poll(0):
            sys.stdout.flush()  # nothing more waiting: what was printed goes out now
        parts = socket.recv_multipart()
        if len(parts) != 1 or len(parts[0]) != PACKET.size:
            continue  # not a packet
        sequence, time_ns, *channels = PACKET.unpack(parts[0])
        if last is not None and sequence <= last:
            print(f"sequence went back from {last} to {sequence}", file=sys.stderr, flush=True)
        elif last is not None and sequence > last + 1:
            lost = f"{last + 1}" if sequence == last + 2 else f"{last + 1}..{sequence - 1}"
            print(f"lost {lost}", file=sys.stderr, flush=True)
        last = sequence
        print(sequence, time_ns, *(f"{sample:.9g}" for sample in channels), sep=",")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
    except BrokenPipeError:
        # The reader has gone; what is left to flush at exit goes nowhere (Python's docs, "Note
        # on SIGPIPE").
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
