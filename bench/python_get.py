"""What velmogpio.get(3) costs from Python, over port primitives that only
count (the package in bench/python), beside the module's own call and the
Python floor of a call; velmo_bench's `read` is the library's own work.

    cmake --build --preset native --target bench_python
"""
import time
import timeit

import velmogpio
from velmogpio import _velmogpio


def best(statement, number=1_000_000, repeat=7):
    """Median CPU ns per call of repeat rounds (CPU time, as velmo_bench's
    figures: other builds on the same cores inflate wall time)."""
    rounds = sorted(
        timeit.repeat(statement, globals=globals(), number=number, repeat=repeat, timer=time.process_time))
    return rounds[len(rounds) // 2] / number * 1e9


print("CPU ns per call, median of 7 rounds of 1 000 000")
print("velmogpio.get(3)       %6.1f" % best("velmogpio.get(3)"))
print("_velmogpio.read(3)     %6.1f  (the extension's call alone)" % best("_velmogpio.read(3)"))
print("velmogpio.get([3, 6])  %6.1f" % best("velmogpio.get([3, 6])", number=200_000))
print("len(()) (a C call's floor)  %6.1f" % best("len(())"))
