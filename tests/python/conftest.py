"""Fixtures of the module's tests: the stand-in service (scripted over its
control interface), the real service on a private bus, and a bus without any.

ctest runs each case in a process of its own: the library opens its bus
connection once per process, on the bus that DBUS_SYSTEM_BUS_ADDRESS names
at the first call.
"""
import os
import subprocess
import tempfile
import time

import dbus
import pytest

SERVICE = "com.nimbo.zorv.labelmgr"
OBJECT = "/org/freedesktop/DBus/nimbo/zorv/labelmgr"
BUS_SCRIPTS = os.environ.get("ZORV_TEST_BUS_SCRIPTS", "")

# Never the host's system bus: without a bus of the test's own, calls fail.
os.environ.setdefault("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zorv-test-bus")


class Standin:
    """The stand-in's control interface (com.nimbo.zorv.labelmgr.Test)."""

    def __init__(self, address):
        self.bus = dbus.bus.BusConnection(address)
        self.control = dbus.Interface(self.bus.get_object(SERVICE, OBJECT, introspect=False),
                                      SERVICE + ".Test")

    def reply(self, member, *values):
        self.control.ScriptReply(member, *values)

    def error(self, member, name, text):
        self.control.ScriptError(member, name, text)

    def delay(self, member, ms):
        self.control.ScriptDelay(member, dbus.UInt32(ms))

    def received(self):
        """(member, arguments as text) of each call the stand-in received."""
        return [(str(m), str(a)) for m, _, a in self.control.Received()]


@pytest.fixture
def standin():
    if "zorv-test-bus" in os.environ["DBUS_SYSTEM_BUS_ADDRESS"]:
        pytest.fail("DBUS_SYSTEM_BUS_ADDRESS must name the stand-in's private bus")
    s = Standin(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
    s.control.Reset()
    return s


class PrivateBus:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zorv-python-")
        self.address = subprocess.run([os.path.join(BUS_SCRIPTS, "start-bus.sh"), self.dir], check=True,
                                      capture_output=True, text=True).stdout.strip()
        self.daemon = None

    def start_service(self, endpoint=None):
        endpoint = endpoint or f"ipc://{self.dir}/notify.socket"
        log = open(os.path.join(self.dir, "service.log"), "w")
        self.daemon = subprocess.Popen([os.environ["ZORV_TEST_DAEMON"], "--address", self.address, "--db",
                                        os.path.join(self.dir, "labels.db"), "--notify-endpoint", endpoint],
                                       stdout=log, stderr=subprocess.STDOUT)
        log.close()
        bus = dbus.bus.BusConnection(self.address)
        for _ in range(500):
            if bus.name_has_owner(SERVICE):
                return
            assert self.daemon.poll() is None, "the service did not start"
            time.sleep(0.01)
        pytest.fail("the service did not take its name")

    def stop(self):
        if self.daemon:
            self.daemon.terminate()
            self.daemon.wait(10)
        subprocess.run([os.path.join(BUS_SCRIPTS, "stop-bus.sh"), self.dir], check=False)
        subprocess.run(["rm", "-rf", self.dir], check=False)


@pytest.fixture
def private_bus(monkeypatch):
    """A bus of the test's own, without the service until start_service()."""
    bus = PrivateBus()
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address)
    yield bus
    bus.stop()


@pytest.fixture
def service(private_bus):
    """The real service on a private bus, its notifications on a socket of that bus."""
    private_bus.start_service()
    return private_bus


@pytest.fixture
def notifying_service(private_bus, monkeypatch):
    """The real service, publishing where the library listens: an endpoint of the test's own, named to both
    by ZORV_NOTIFY_ENDPOINT."""
    endpoint = f"ipc://{private_bus.dir}/notify.socket"
    monkeypatch.setenv("ZORV_NOTIFY_ENDPOINT", endpoint)
    private_bus.start_service(endpoint)
    return private_bus
