"""The stand-in service, the real service on a private bus, and a bus without any. Each case runs in a process of its
own: the library connects once, to the bus named at the first call."""
import os
import subprocess

import dbus
import pytest

SERVICE = "com.nimbo.zorv.labelmgr"
OBJECT = "/org/freedesktop/DBus/nimbo/zorv/labelmgr"

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
    """zorv-private-bus: the bus's address and directory, the service when asked; all stops when stdin closes."""

    def __init__(self):
        self.host = subprocess.Popen([os.environ["ZORV_PRIVATE_BUS"], os.environ["ZORV_TEST_DAEMON"]],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.address = self.host.stdout.readline().strip()
        self.dir = self.host.stdout.readline().strip()
        if not self.dir:
            self.stop()
            pytest.fail("zorv-private-bus did not start a bus")

    def start_service(self):
        """The service, its notifications on a socket in the bus's directory."""
        self.host.stdin.write("start\n")
        self.host.stdin.flush()
        answer = self.host.stdout.readline().strip()
        if answer != "started":
            pytest.fail(f"the service did not start: {answer or 'zorv-private-bus ended'}")

    def stop(self):
        self.host.stdin.close()
        self.host.wait(30)


@pytest.fixture
def private_bus(monkeypatch):
    """A bus of the test's own, without the service until start_service()."""
    bus = PrivateBus()
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address)
    yield bus
    bus.stop()


@pytest.fixture
def notifying_service(private_bus, monkeypatch):
    """The real service, publishing where the library listens (ZORV_NOTIFY_ENDPOINT names an endpoint to both)."""
    monkeypatch.setenv("ZORV_NOTIFY_ENDPOINT", f"ipc://{private_bus.dir}/notify.socket")
    private_bus.start_service()
    return private_bus
