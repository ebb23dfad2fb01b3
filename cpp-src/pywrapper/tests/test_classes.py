import ast
import os

import pytest

import tarnvel_core as tc
from support import unique


def test_status_constants_are_plain_ints():
    values = [tc.STATUS_OK, tc.STATUS_TIMEOUT, tc.STATUS_EXEC_FAILED, tc.STATUS_DELIVER_FAILED]
    assert values == [0, 1, 2, 3]
    assert all(type(v) is int for v in values)


def test_call_result_construction_and_conversions():
    r = tc.CallResult(0, b"")
    assert (r.status, r.result) == (0, b"")
    assert tc.CallResult(255, b"x").status == 255
    for status, result in [(256, b""), (-1, b""), (1.0, b""), (0, bytearray(b"x")), (0, "x")]:
        with pytest.raises(TypeError):
            tc.CallResult(status, result)
    with pytest.raises(TypeError):
        tc.CallResult(status=0, result=b"")
    with pytest.raises(TypeError):
        tc.CallResult()


def test_call_result_setters_refuse_and_keep_the_old_value():
    r = tc.CallResult(1, b"")
    r.result = b"abc"
    assert r.result == b"abc"
    for bad in ["abc", bytearray(b"xyz"), memoryview(b"xyz")]:
        with pytest.raises(TypeError):
            r.result = bad
        assert r.result == b"abc"

    class Sub(bytes):
        pass

    r.result = Sub(b"sub")
    assert type(r.result) is bytes and r.result == b"sub"
    for bad in [256, -1, 2.0]:
        with pytest.raises(TypeError):
            r.status = bad
        assert r.status == 1


def test_node_info():
    info = tc.NodeInfo("n\u00e9", 4294967295)
    assert (info.node_name, info.pid) == ("n\u00e9", 4294967295)
    assert tc.NodeInfo(b"raw", 1).node_name == "raw"
    with pytest.raises(TypeError):
        tc.NodeInfo("n", -1)
    with pytest.raises(TypeError):
        tc.NodeInfo("n", 4294967296)
    with pytest.raises(TypeError):
        info.pid = -1
    assert info.pid == 4294967295


def test_classes_take_no_attributes_but_can_be_subclassed():
    r = tc.CallResult(0, b"")
    with pytest.raises(AttributeError):
        r.extra = 1

    class Mine(tc.NodeInfo):
        pass

    m = Mine("x", 7)
    m.extra = 1
    assert (m.node_name, m.pid, m.extra) == ("x", 7, 1)


def test_construct_by_keyword_and_by_position(system):
    rx = unique("rx")
    by_keyword = tc.Tarnvel(recv_shm_bytes=4096, recv_shm_name=rx, system_name=system, node_name="kw")
    assert by_keyword.pid == os.getpid()
    assert [(i.node_name, i.pid) for i in by_keyword.list_nodes()] == [("kw", os.getpid())]
    by_keyword.close()
    with tc.Tarnvel("pos", system, rx, 4096) as by_position:
        assert [(i.node_name, i.pid) for i in by_position.list_nodes()] == [("pos", os.getpid())]
    with pytest.raises(TypeError):
        tc.Tarnvel("f", system, rx, 4096.0)
    with pytest.raises(TypeError):
        tc.Tarnvel("f", system, rx, -1)
    with pytest.raises(RuntimeError, match="^invalid node name$"):
        tc.Tarnvel("", system, rx, 4096)
    with pytest.raises(RuntimeError, match="^recv shm too small$"):
        tc.Tarnvel("n", system, rx, 80)


def test_with_binds_the_node_closes_it_and_lets_exceptions_through(system):
    node = tc.Tarnvel("w", system, unique("rx"), 4096)
    with pytest.raises(ValueError, match="inside"):
        with node as bound:
            assert bound is node
            raise ValueError("inside")
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.list_nodes()


def test_close_twice_keeps_pid(node):
    node.close()
    node.close()
    assert node.pid == os.getpid()
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.list_nodes()


def test_stub_names_what_the_module_defines():
    stub = os.path.join(os.path.dirname(__file__), os.pardir, "tarnvel_core.pyi")
    with open(stub) as f:
        tree = ast.parse(f.read())
    for item in tree.body:
        if isinstance(item, ast.ClassDef):
            runtime = getattr(tc, item.name)
            for member in item.body:
                if isinstance(member, ast.FunctionDef):
                    assert member.name in vars(runtime), (item.name, member.name)
        elif isinstance(item, ast.AnnAssign):
            assert hasattr(tc, item.target.id), item.target.id
    stubbed = {i.name for i in tree.body if isinstance(i, ast.ClassDef)}
    stubbed |= {i.target.id for i in tree.body if isinstance(i, ast.AnnAssign)}
    assert stubbed == {n for n in vars(tc) if not n.startswith("__")}
