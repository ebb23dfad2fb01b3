"""The module's look at the machine from outside, its name limits and its exception classes."""

import pytest

import tarnvel_core as tc
from peer import Peer
from support import unique


def test_a_system_is_seen_from_outside_while_it_lives(system):
    assert not tc.system_exists(system) and tc.system_nodes(system) is None
    far = Peer(system, "far")
    with tc.Tarnvel("near", system, unique("rx"), 4096) as near:
        assert tc.system_exists(system)
        listed = {(n.node_name, n.pid): n.mailbox_name for n in tc.system_nodes(system)}
        assert listed.keys() == {("far", far.pid), ("near", near.pid)}
        assert listed[("near", near.pid)] == [n.mailbox_name for n in near.list_nodes()
                                              if n.pid == near.pid][0]
        [info] = [s for s in tc.systems() if s.name == system]
        assert info.prefix == system and system in info.object_name and info.object_name in info.location
    assert far.stop() == 0
    # Looking neither kept it alive nor made it again.
    assert not tc.system_exists(system) and tc.system_nodes(system) is None
    assert system not in [s.name for s in tc.systems()]


def test_names_no_node_could_have():
    assert tc.is_valid_system_name("x" * tc.MAX_SYSTEM_NAME_BYTES)
    assert not tc.is_valid_system_name("x" * (tc.MAX_SYSTEM_NAME_BYTES + 1))
    assert not tc.is_valid_system_name("a-b")
    assert tc.is_valid_node_name("\u00e9" * (tc.MAX_NODE_NAME_BYTES // 2))
    assert not tc.is_valid_node_name(b"n" * (tc.MAX_NODE_NAME_BYTES + 1))
    assert (tc.MAX_MAILBOX_NAME_BYTES, tc.MIN_RECV_SHM_BYTES, tc.MAX_RECV_SHM_BYTES) == (127, 81, 2**32 - 1)
    with pytest.raises(tc.InvalidArgumentError, match="^invalid system name$"):
        tc.system_exists("a-b")
    with pytest.raises(tc.InvalidArgumentError, match="^system name too long$"):
        tc.system_nodes("x" * (tc.MAX_SYSTEM_NAME_BYTES + 1))


def test_refusals_are_classes_by_kind_under_runtime_error(system):
    assert all(issubclass(c, tc.Error) for c in (tc.ClosedError, tc.InvalidArgumentError,
                                                 tc.DirectoryFullError, tc.OSFailureError))
    assert issubclass(tc.Error, RuntimeError)
    for args, message in [(("", system, "rx", 4096), "invalid node name"),
                          (("n", system, "rx", tc.MIN_RECV_SHM_BYTES - 1), "recv shm too small"),
                          (("n", system, "r" * tc.MAX_MAILBOX_NAME_BYTES, 4096), "recv shm name too long")]:
        with pytest.raises(tc.InvalidArgumentError) as raised:
            tc.Tarnvel(*args)
        assert str(raised.value) == message
    rx = unique("rx")
    with tc.Tarnvel("one", system, rx, 4096):
        # The mailbox name is held by the first node of this process.
        with pytest.raises(tc.OSFailureError, match="^CreateFileMapping mailbox failed$"):
            tc.Tarnvel("two", unique("s"), rx, 4096)
    node = tc.Tarnvel("n", system, unique("rx"), 4096)
    node.close()
    for operation in (node.list_nodes, lambda: node.call_raw("n", node.pid, "m", b"", 100),
                      lambda: node.register({"name": "m"}, bytes)):
        with pytest.raises(tc.ClosedError, match="^Tarnvel is closed$"):
            operation()
