"""The module without the service, and label changes from the real service through its iterator and context manager."""
import json
import os
import threading
import time

import pytest

import zorvlabelmgr as zl

QUIET_TOPIC = "zorv-python-test-never-published"


def test_without_the_service_calls_raise_connection_errors(private_bus):
    for call in [lambda: zl.get_file_tid("/usr/bin/true"), zl.show_user_set_file_oid,
                 lambda: zl.set_label_for_pkg(["/usr/bin/true"], "coreutils"),
                 lambda: zl.policies_parse({"subject_pkg": ["coreutils"]})]:
        with pytest.raises(ConnectionError) as raised:
            call()
        assert isinstance(raised.value, zl.ServiceUnavailable) and raised.value.code < 0


def test_changes_arrive_through_the_context_manager(notifying_service, tmp_path):
    target = tmp_path / "f"
    target.write_text("x")
    with zl.subscribe("tid", timeout=0.2) as changes:
        seen = []
        # A subscription reaches the publisher some time after it is made.
        for attempt in range(1, 50):
            zl.set_file_tid(target, attempt)
            seen = [json.loads(change) for change in changes]  # until 0.2 s pass without one
            if seen:
                break
        assert seen[-1] == {"member": "setFileTid", "path": str(target), "uid": os.geteuid()}
        zl.set_file_oid(target, zl.Id(1))  # another topic
        assert changes.receive(timeout=0.3) is None
    assert changes.closed
    with pytest.raises(ValueError):
        next(changes)


def test_timeout_ends_the_iteration():
    with zl.subscribe(QUIET_TOPIC, timeout=0.3) as changes:
        start = time.monotonic()
        assert list(changes) == [] and time.monotonic() - start >= 0.3
        assert changes.topics == [QUIET_TOPIC] and changes.timeout == 0.3
    with pytest.raises(zl.InvalidArgument):
        zl.subscribe(timeout=-1)


def test_subscribers_are_released():
    def in_use():
        return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))

    zl.subscribe(QUIET_TOPIC).close()  # what the first one sets up for good
    before = in_use()
    for _ in range(20):
        with zl.subscribe(QUIET_TOPIC):
            pass
        zl.subscribe(QUIET_TOPIC)  # dropped without closing
    assert in_use() == before


def test_close_from_another_thread_ends_a_waiting_receive():
    changes = zl.subscribe(QUIET_TOPIC)
    closer = threading.Timer(0.2, changes.close)
    closer.start()
    with pytest.raises(ValueError):
        changes.receive()  # no time limit: only the close ends it
    closer.join()
