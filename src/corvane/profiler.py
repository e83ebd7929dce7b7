"""The engine's profiling hook: times the strategy's functions.

``print_stats(stream)`` writes the report that ON_LINE_PROFILER_RESULT hands out.
"""

import functools
import time


class FunctionProfiler:
    def __init__(self, clock=time.perf_counter):
        self._clock = clock
        self._stats = {}

    def __call__(self, func):
        name = getattr(func, "__qualname__", repr(func))
        self._stats.setdefault(name, [0, 0.0])

        @functools.wraps(func)
        def timed(*args, **kwargs):
            start = self._clock()
            try:
                return func(*args, **kwargs)
            finally:
                entry = self._stats[name]
                entry[0] += 1
                entry[1] += self._clock() - start

        return timed

    def print_stats(self, stream):
        stream.write("Timer unit: 1e-06 s\n\n")
        for name, (calls, total) in self._stats.items():
            per_call = total / calls * 1e6 if calls else 0.0
            stream.write(f"Function: {name}\n")
            stream.write(f"  Hits: {calls}  Total time: {total:.6f} s  Per hit: {per_call:.1f}\n\n")
