"""When calls ran, for the thread tests and benchmarks."""

import concurrent.futures
import threading
import time


def timed(call):
    """Runs call() and returns (start, end, result)."""
    start = time.monotonic()
    result = call()
    return start, time.monotonic(), result


def in_background(call):
    """Starts timed(call) on another thread; .result() waits for it."""
    pool = concurrent.futures.ThreadPoolExecutor(1)
    future = pool.submit(timed, call)
    pool.shutdown(wait=False)
    return future


def beats_during(call, period=0.01):
    """timed(call) beside a thread that notes the time every `period`;
    returns (start, end, result, the times it noted)."""
    beats, stop = [], threading.Event()

    def heartbeat():
        while not stop.is_set():
            beats.append(time.monotonic())
            time.sleep(period)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    try:
        return (*timed(call), beats)
    finally:
        stop.set()
        beat.join()
