"""One call at a time per SFTP client, and a waiter that still takes Ctrl-C."""

from operations_support import *  # noqa: F401,F403 - the shared tables and fixtures


# --- one call at a time per client --------------------------------------------


class CountingClient:
    """Records the most calls it was ever inside at once."""

    def __init__(self, owner=None):
        self.inside = self.most = 0
        self.owner = owner

    def _enter(self, result=True):
        self.inside += 1
        self.most = max(self.most, self.inside)
        time.sleep(0.002)  # lets the other threads run
        self.inside -= 1
        return result

    def stat(self, path):
        return self._enter()

    def put(self, src, dst):
        return self._enter()

    def normalize(self, path):
        # A call back into the instance on the same thread must not deadlock.
        return self.owner._stat(path) if self.owner and path == "again" else self._enter()


def hammer(*calls):
    threads = [threading.Thread(target=lambda: [c() for c in calls for _ in range(15)]) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not any(thread.is_alive() for thread in threads)


def test_threads_sharing_an_instance_reach_its_client_one_at_a_time(bare):
    unguarded = CountingClient()
    hammer(lambda: unguarded.stat("p"))
    assert unguarded.most > 1  # the client alone would be entered concurrently

    bare._sftp = client = CountingClient(owner=bare)
    before = set(vars(bare))
    hammer(lambda: bare._stat("p"), lambda: bare._upload("a", "b"), lambda: bare._normalize("again"))
    assert client.most == 1
    assert set(vars(bare)) == before

class BlockingClient:
    """`stat` holds until `release` is set; `close` records when it ran."""

    def __init__(self):
        self.inside, self.release, self.events = threading.Event(), threading.Event(), []

    def stat(self, path):
        self.inside.set()
        self.release.wait(10)
        self.events.append("stat done")

    def close(self):
        self.events.append("close")


def test_a_thread_waiting_for_the_client_still_takes_ctrl_c_and_close_waits_its_turn(bare):
    import signal

    bare._sftp = client = BlockingClient()
    bare._ssh = Fake(CallLog(), "ssh", {"close"})
    holder = threading.Thread(target=bare._stat, args=("p",))
    holder.start()
    assert client.inside.wait(10)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        bare._stat("waits")
    assert time.monotonic() - started < 5
    timer.join()

    closer = threading.Thread(target=bare._close)
    closer.start()
    closer.join(0.3)
    assert closer.is_alive() and client.events == []  # _close waits for the call in progress
    client.release.set()
    holder.join(10)
    closer.join(10)
    assert client.events == ["stat done", "close"]


def test_a_waiter_interrupted_once_handed_the_lock_passes_it_on(bare):
    import signal

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        client.release.set()  # the holder finishes and hands the lock to this thread,
        time.sleep(0.3)
        raise Interrupted  # which has to pass it on to the next waiter

    bare._sftp = client = BlockingClient()
    holder = threading.Thread(target=bare._stat, args=("p",))
    holder.start()
    assert client.inside.wait(10)
    behind = threading.Thread(target=bare._stat, args=("next",))
    queue_behind = threading.Timer(0.1, behind.start)
    interrupt = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        queue_behind.start()
        interrupt.start()
        with pytest.raises(Interrupted):
            bare._stat("interrupted")
    finally:
        signal.signal(signal.SIGUSR1, previous)
    queue_behind.join()
    holder.join(10)
    behind.join(10)
    assert not behind.is_alive()
    assert client.events == ["stat done", "stat done"]
