"""The benchmarks' timer: the best of several runs, which is the least disturbed by
whatever else the machine is doing."""
import time


def best_of(fn, repeats):
    """(fastest wall time in seconds, the last run's result) of `repeats` calls of fn()."""
    best = float("inf")
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def time_is_valid(ctx, qs):
    """(nanoseconds per call as int64, answers as bool) of the native validity test of a
    PlanningContext on every row of qs, timed inside native code (no Python call overhead)."""
    import Brimwell

    return Brimwell._time_is_valid(ctx, qs)
