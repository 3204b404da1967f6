"""The zorv label manager from Python.

Read and change the labels that the label manager service keeps for files,
packages, devices and kernel modules; encode, decode and store a file's own
label (security.zorv); follow label changes as they happen.

    import zorvlabelmgr as zl
    zl.set_file_tid("/usr/bin/true", 5)           # changes need root
    print(zl.get_file_tid("/usr/bin/true"))       # 5
    with zl.subscribe("tid", timeout=10) as changes:
        for change in changes: print(change)

Each service call is one call of the C library (its name is in the
docstring) over the D-Bus system bus (DBUS_SYSTEM_BUS_ADDRESS names another).
Paths are str, bytes or os.PathLike. Failures raise InvalidArgument (a
ValueError), ServiceFailure (a LookupError: the service's failure value),
ServiceUnavailable (a ConnectionError) or LabelStorageError (an OSError), each
with the library's result code in ``code``. Calls that wait release the
interpreter lock, so threads call concurrently.
"""

from ._zorvlabelmgr import *  # noqa: F401,F403
from . import _zorvlabelmgr

__all__ = [name for name in dir(_zorvlabelmgr) if not name.startswith("_")]

# Everything is documented and shown as part of this package.
for _name in __all__:
    try:
        getattr(_zorvlabelmgr, _name).__module__ = __name__
    except (AttributeError, TypeError):
        pass
del _name
