"""The per-device runner that update, verify and status share: results in the order the devices were
given, however their work ends, and `jobs` devices at once."""

import threading

from orbisk_tools.engine.runner import for_each_device
from orbisk_tools.engine.targets import Target


def test_results_come_in_the_order_given_and_jobs_at_once():
    devices = {Target("127.0.0.1", 6000 + n): [f"127.0.0.{n}"] for n in range(6)}
    order = list(devices)
    together = threading.Barrier(3)  # broken unless three work at once
    lock, running, most = threading.Lock(), [0], [0]
    ended = [threading.Event() for _ in order]

    def work(target, addresses):
        n = order.index(target)
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        together.wait(10)
        if n % 3 != 2:  # each of three ends after the one given after it
            assert ended[n + 1].wait(10)
        with lock:
            running[0] -= 1
        ended[n].set()
        return target.port, addresses

    results = for_each_device(devices, work, 3, threading.Event())
    assert results == [(target.port, addresses) for target, addresses in devices.items()]
    assert most[0] == 3
