# Writes a 400 Hz tone at half scale, 16-bit mono at 44.1 kHz, to stdout without end; the reader sets the pace.
import math
import struct
import sys

RATE = 44100
period = bytes().join(struct.pack("<h", int(16000 * math.sin(2 * math.pi * 400 * i / RATE))) for i in range(RATE // 100 * 10))
out = sys.stdout.buffer
try:
    while True:
        out.write(period)
except (BrokenPipeError, KeyboardInterrupt):
    pass
