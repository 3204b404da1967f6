"""The module against the real service on a private bus, and without one."""
import pytest

import zorvlabelmgr as zl


def test_set_read_list_and_remove(service, tmp_path):
    labelled = tmp_path / "labelled"
    labelled.write_text("x")
    zl.set_file_tid(labelled, 5)
    zl.set_file_oid(labelled, zl.Id(1, 0, 42))
    assert (zl.get_file_tid(labelled), zl.get_file_oid(labelled)) == (5, zl.Id(1, 0, 42))
    assert [(r.path, r.value) for r in zl.show_user_set_file_tid()] == [(str(labelled), 5)]
    assert [r.id for r in zl.query_user_set_file_oid(labelled)] == [zl.Id(1, 0, 42)]
    zl.del_file_tid(labelled)
    with pytest.raises(zl.ServiceFailure):  # neither a record nor a label of its own
        zl.get_file_tid(labelled)
    with pytest.raises(zl.ServiceFailure):
        zl.del_file_tid(labelled)
    assert zl.show_user_set_file_tid() == []


def test_without_the_service_calls_raise_connection_errors(private_bus):
    for call in [lambda: zl.get_file_tid("/usr/bin/true"), zl.show_user_set_file_oid,
                 lambda: zl.set_label_for_pkg(["/usr/bin/true"], "coreutils"),
                 lambda: zl.policies_parse({"subject_pkg": ["coreutils"]})]:
        with pytest.raises(ConnectionError) as raised:
            call()
        assert isinstance(raised.value, zl.ServiceUnavailable) and raised.value.code < 0
