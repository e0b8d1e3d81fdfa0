"""Work started on several threads at once."""

import threading


def run_threads(count, work, timeout=120):
    """Run work(number) on `count` threads released together by a barrier.

    Returns what each call returned, or the exception it raised: a failing thread
    fails the test that looks at its outcome instead of vanishing.  A thread still
    running after `timeout` seconds fails at once rather than blocking the run."""
    start = threading.Barrier(count)
    outcomes = [None] * count

    def body(number):
        start.wait()
        try:
            outcomes[number] = work(number)
        except BaseException as exc:
            outcomes[number] = exc

    threads = [threading.Thread(target=body, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=timeout)
    assert not any(thread.is_alive() for thread in threads), "a thread is still waiting"
    return outcomes


def failures_of(outcomes):
    """The (number, exception) pairs of the threads that raised."""
    return [(number, outcome) for number, outcome in enumerate(outcomes) if isinstance(outcome, BaseException)]
