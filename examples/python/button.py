#!/usr/bin/env python3
"""button: waits for a button on line 3, then lights a lamp on line 6.

    sudo python3 button.py              (on the board)
    velmo-emu -- python3 button.py      (on the virtual board; then, from
                                         another shell: velmo-board pull 3=1)

Lines 1-4 become inputs and lines 5-8 outputs, with line 6 low. Line 3 is
read every millisecond until it is high; then line 6 is driven high and the
program ends with status 0. A refused port access ends it with status 1
and the library's message.
"""
import sys
import time

import velmogpio


def main():
    try:
        velmogpio.configure(0x0F)  # bit i is line i+1: 1 input, 0 output
        velmogpio.set(6, 0)
        while not velmogpio.get(3):
            time.sleep(0.001)
        velmogpio.set(6, 1)
    except velmogpio.Error as error:
        print("button: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
