#!/usr/bin/python3
"""The baseline for scripts/benchmark: what a user would write with pyserial
(Debian's python3-serial) to clock bytes into the register.
Usage: pyserial-baseline.py PORT VALUE..."""
import sys
import time

import serial

port = serial.Serial(sys.argv[1], baudrate=110)
port.dtr = False
port.rts = False
for text in sys.argv[2:]:
    value = int(text)
    for bit in range(8):
        port.break_condition = bool(value >> bit & 1)
        port.dtr = True
        time.sleep(0.001)
        port.dtr = False
        time.sleep(0.001)
    port.rts = True
    time.sleep(0.001)
    port.rts = False
port.close()
