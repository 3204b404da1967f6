"""The module against the stand-in: what each family of calls sends and reads back, failures, and threads."""
import pathlib
import threading
import time

import dbus
import pytest

import zorvlabelmgr as zl
from zorvlabelmgr import Id


def test_per_file_attributes(standin):
    u32, u64 = dbus.UInt32, dbus.UInt64
    path = pathlib.PurePosixPath("/srv/a")  # os.PathLike, str and bytes alike
    zl.set_pkg_id(path, 2**64 - 2)
    zl.set_file_oid(path, Id(1, 2, 3), option=1)
    zl.set_file_sid(str(path), Id(4))
    zl.set_file_tid(b"/srv/a", 7)
    zl.set_file_inherit_flag(path, 0)
    standin.reply("getPkgId", u64(2**64 - 2))
    standin.reply("getFileOid", dbus.Dictionary({"pkg_id": u64(1), "file_id": u64(2), "path_id": u64(3)},
                                                signature="st"))
    standin.reply("getFileSid", dbus.Dictionary({"pkg_id": u64(4)}, signature="st"))
    standin.reply("getFileTid", u32(7))
    standin.reply("getFileInheritFlag", u32(0))
    assert zl.get_pkg_id(path) == 2**64 - 2
    assert (zl.get_file_oid(path), zl.get_file_sid(path)) == (Id(1, 2, 3), Id(4))
    assert (zl.get_file_tid(path), zl.get_file_inherit_flag(path)) == (7, 0)
    zl.del_file_tid(path, 1)
    zl.del_user_set_pkg_id(path)
    zl.clear_file_sid()
    sent = standin.received()
    assert sent[:5] == [("setPkgId", f'"/srv/a" {2**64 - 2}'),
                        ("setFileOid", '"/srv/a" {"file_id": 2, "path_id": 3, "pkg_id": 1} 1'),
                        ("setFileSid", '"/srv/a" {"file_id": 0, "path_id": 0, "pkg_id": 4} 0'),
                        ("setFileTid", '"/srv/a" 7 0'), ("setFileInheritFlag", '"/srv/a" 0 0')]
    assert [m for m, _ in sent[5:10]] == ["getPkgId", "getFileOid", "getFileSid", "getFileTid",
                                          "getFileInheritFlag"]
    assert sent[-3:] == [("delUserSetFileTid", '"/srv/a" 1'), ("delUserSetPkgId", '"/srv/a"'),
                         ("delAllUserSetFileSid", "")]


def test_records_and_lookups(standin):
    u32, u64 = dbus.UInt32, dbus.UInt64
    standin.reply("showUserSetFileTid", dbus.Dictionary({"/b": u32(5), "/a": u32(7)}, signature="su"))
    assert [(r.path, r.value) for r in zl.show_user_set_file_tid()] == [("/a", 7), ("/b", 5)]
    oid = dbus.Dictionary({"pkg_id": u64(1), "path_id": u64(9)}, signature="st")
    standin.reply("queryUserSetFileOid", dbus.Dictionary({"/x": oid}, signature="sa{st}"))
    assert [(r.path, r.id) for r in zl.query_user_set_file_oid("/x", 2)] == [("/x", Id(1, 0, 9))]
    assert zl.show_user_set_file_sid() == [] and zl.query_user_set_pkg_id("/x") is None
    standin.reply("queryUserSetPkgId", dbus.Dictionary({"/x": u64(3)}, signature="st"))
    assert zl.query_user_set_pkg_id("/x") == 3
    standin.reply("getPkgIds", dbus.Array([u64(3), u64(4)], signature="t"), dbus.Int32(0))
    assert zl.get_pkg_ids(name for name in ("a", "b")) == [3, 4]
    standin.reply("getDeviceOids", dbus.Dictionary({"sda": u64(5)}, signature="st"))
    assert zl.get_device_oids(["sda", "sdb"]) == {"sda": 5}
    standin.reply("pathNormalize", "/srv/b")
    assert zl.path_normalize("/srv/./b") == "/srv/b"
    standin.reply("getLabelSetStatus", dbus.Int32(3))
    assert zl.get_label_set_status() == 3
    assert zl.get_pkg_name_by_id(5) == zl.get_path_sm3_hash_value("/a") == "ok"  # the stand-in's default
    assert zl.get_device_oid("sda") == zl.get_kernel_module_oid("ext4") == 1


def test_bulk_calls_take_any_iterable(standin, tmp_path):
    zl.set_label_for_pkg((f"/usr/bin/{n}" for n in "ab"), "hello")
    zl.set_label_for_drova({pathlib.Path("/opt/d/x")}, "app")
    zl.set_label_for_drova_base_files({"/d/b": "/h/b", "/d/a": "/h/a"})
    zl.set_label_for_drova_base_files(iter([("/d/c", "/h/c")]))
    zl.set_label_for_lunvex_interpreter(tmp_path)
    categories = {"subject_pkg": {"hello": {"a": 7, "b": 9}}, "other": {"n": {"file_id": 2, "pkg_id": 1, "x": 5}}}
    standin.reply("policies_parse", dbus.Dictionary(categories, signature="sa{sa{st}}"))
    assert zl.policies_parse({"subject_pkg": iter(["hello"]), "other": ("n",)}) == {
        "subject_pkg": {"hello": [Id(7), Id(9)]}, "other": {"n": [Id(1, 2)]}}
    sent = standin.received()
    assert sent[:5] == [("setLabelForPkg", '["/usr/bin/a", "/usr/bin/b"] "hello" 1'),
                        ("setLabelForPkg", '["/opt/d/x"] "app" 3'),
                        ("setLabelForDrovaBaseFiles", '{"/d/a": "/h/a", "/d/b": "/h/b"}'),
                        ("setLabelForDrovaBaseFiles", '{"/d/c": "/h/c"}'),
                        ("setLabelForLunvexInterpreter", f'"{tmp_path}"')]
    assert sent[5] == ("policies_parse", '{"other": ["n"], "subject_pkg": ["hello"]}')


def test_failures_become_exceptions_with_the_library_code(standin):
    standin.reply("getFileTid", dbus.UInt32(0xFFFFFFFF))
    standin.reply("setLabelForPkg", dbus.Int32(5))
    standin.error("getFileOid", "org.freedesktop.DBus.Error.AccessDenied", "not you")
    cases = [(zl.get_file_tid, ("/a",), zl.ServiceFailure, LookupError, -1),
             (zl.set_label_for_pkg, (["/a"], "p"), zl.ServiceFailure, LookupError, 5),
             (zl.get_file_oid, ("/a",), zl.ServiceUnavailable, ConnectionError, -2)]
    for call, args, kind, builtin, code in cases:
        with pytest.raises(kind) as raised:
            call(*args)
        assert isinstance(raised.value, builtin) and raised.value.code == code, call.__name__
    sent_before = len(standin.received())
    refused = [lambda: zl.set_file_tid("/a", 0), lambda: zl.get_file_tid("/a\0b"),
               lambda: zl.get_file_tid(b"/\xff"), lambda: zl.get_device_oid("\udcff"),
               lambda: zl.set_pkg_id("/a", -1), lambda: zl.set_file_tid("/a", 2**32),
               lambda: zl.del_file_oid("/a", 2**31), lambda: zl.get_pkg_name_by_id(2**64 - 1),
               lambda: zl.set_label_for_pkg([], "p"), lambda: zl.set_label_for_lunvex(["/a", ""], "p"),
               lambda: zl.set_label_for_drova_interpreter("/nonexistent"),
               lambda: zl.set_label_for_drova_base_files({})]
    for i, call in enumerate(refused):
        with pytest.raises(zl.InvalidArgument) as raised:
            call()
        assert raised.value.code == -1, i
    for wrong_type in [lambda: zl.set_file_tid("/a", "5"), lambda: zl.set_label_for_pkg("/a", "p"),
                       lambda: zl.get_file_tid(5)]:
        with pytest.raises(TypeError):
            wrong_type()
    assert len(standin.received()) == sent_before, "a refused argument reached the service"


def test_a_waiting_call_lets_other_threads_run(standin):
    standin.delay("getFileTid", 600)
    entered = []

    def call():
        entered.append(time.monotonic())
        zl.get_file_tid("/a")

    worker = threading.Thread(target=call)
    worker.start()
    ticks = 0
    while worker.is_alive():  # counts only while the worker is surely inside its call
        if entered and 0.1 < time.monotonic() - entered[0] < 0.4:
            ticks += 1
    worker.join()
    assert ticks > 0, "the call held the interpreter lock while it waited"

