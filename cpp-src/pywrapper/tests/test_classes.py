import ast
import inspect
import os
import types

import pytest

import tarnvel_core as tc
from peer import Peer
from support import unique


@pytest.mark.parametrize("refused", [
    lambda: tc.CallResult(256, b""), lambda: tc.CallResult(-1, b""), lambda: tc.CallResult(1.0, b""),
    lambda: tc.CallResult(0, bytearray(b"x")), lambda: tc.CallResult(0, "x"),
    lambda: tc.NodeInfo("n", -1), lambda: tc.NodeInfo("n", 4294967296),
], ids=["status>255", "status<0", "float status", "bytearray", "str result", "pid<0", "pid>32 bits"])
def test_values_beyond_the_wire_fields_are_refused(refused):
    with pytest.raises(TypeError):
        refused()


def test_setters_refuse_and_keep_the_old_value():
    r, info = tc.CallResult(1, b"abc"), tc.NodeInfo("n", 4294967295)
    for obj, attr, bad in [(r, "result", "abc"), (r, "result", memoryview(b"xyz")), (r, "status", 256),
                           (info, "pid", -1)]:
        with pytest.raises(TypeError):
            setattr(obj, attr, bad)
    assert (r.status, r.result, info.pid) == (1, b"abc", 4294967295)

    class Sub(bytes):
        pass

    r.result = Sub(b"sub")
    assert type(r.result) is bytes and r.result == b"sub"
    info.node_name = b"\xc3\xa9"
    assert info.node_name == "\u00e9"


def test_call_result_subclasses_and_weak_references_work_as_for_any_class():
    import decimal
    import weakref

    class Tagged(tc.CallResult):
        def __init__(self, tag, status, result):
            super().__init__(status, result)
            self.tag = tag

    t, gone = Tagged("t", 3, b"x"), []
    assert (t.tag, t.status, t.result) == ("t", 3, b"x")
    w = weakref.ref(t, gone.append)
    del t
    assert gone == [w] and w() is None
    r = tc.CallResult(decimal.Decimal(7), b"")
    assert r.status == 7 and weakref.ref(r)() is r
    with pytest.raises(TypeError):
        tc.CallResult("7", b"")


def test_node_names_that_are_not_utf8_read_back_losslessly(node, system):
    assert tc.NodeInfo(b"a\xff", 1).node_name == "a\udcff"
    raw = b"\xff\xfe"
    peer = Peer(system, raw)
    try:
        [entry] = [info for info in node.list_nodes() if info.pid == peer.pid]
        assert entry.node_name == "\udcff\udcfe"
        name = entry.node_name.encode("utf-8", "surrogateescape")
        assert name == raw
        result = node.call_raw(name, peer.pid, "echo", b"hi", 5000).result(timeout=10)
        assert (result.status, result.result) == (tc.STATUS_OK, b"hi")
    finally:
        assert peer.stop() == 0


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


def test_with_binds_the_node_and_closing_twice_keeps_its_pid(system):
    node = tc.Tarnvel("w", system, unique("rx"), 4096)
    with pytest.raises(ValueError, match="inside"):
        with node as bound:
            assert bound is node
            raise ValueError("inside")
    node.close()
    assert node.pid == os.getpid()
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.list_nodes()


def signature(text, name):
    """The first line of a pybind11 docstring, parsed as a function definition."""
    line = text.splitlines()[0].replace("tarnvel_core.", "")
    if not line.startswith(name + "("):  # property accessors carry no name
        line = name + line
    return ast.parse(f"def {line}: ...").body[0]


def parameters(function, with_names=True, from_docstring=False, self_first=True):
    """(name, positional only, annotation) of every parameter after self (or of every one).

    A docstring has no "/": pybind11 names the parameters it was given no
    name for arg0, arg1, ..., and those cannot be passed by keyword.
    """
    args = function.args
    assert not (args.vararg or args.kwarg)
    listed = [(p, True, False) for p in args.posonlyargs] + [(p, False, False) for p in args.args]
    defaults = [None] * (len(listed) - len(args.defaults)) + list(args.defaults) + list(args.kw_defaults)
    listed += [(p, False, True) for p in args.kwonlyargs]
    return [((p.arg if with_names else None),
             positional_only or from_docstring and p.arg.removeprefix("arg").isdigit(),
             ast.unparse(p.annotation), keyword_only, default and ast.unparse(default))
            for (p, positional_only, keyword_only), default in list(zip(listed, defaults))[1 if self_first else 0:]]


def runtime_members(cls):
    return {name for name, value in vars(cls).items()
            if isinstance(value, property)
            or callable(value) and (value.__doc__ or "").startswith(name + "(")}


# Classes written against the C API rather than bound with pybind11, with
# arguments to make one: their text signature carries no annotations, and
# their attributes are descriptors.
NATIVE_CLASSES = {"CallResult": (0, b"")}


def check_native_class(item, cls):
    stubbed = {m.name for m in item.body if isinstance(m, ast.FunctionDef)}
    attributes = {n for n, v in vars(cls).items()
                  if isinstance(v, (types.GetSetDescriptorType, types.MemberDescriptorType))}
    assert stubbed == attributes | {"__init__"}, item.name
    [init] = [m for m in item.body if isinstance(m, ast.FunctionDef) and m.name == "__init__"]
    runtime = [(p.name, p.kind == p.POSITIONAL_ONLY) for p in inspect.signature(cls).parameters.values()]
    assert [(name, positional_only) for name, positional_only, *_ in parameters(init)] == runtime, item.name
    sample, settable = cls(*NATIVE_CLASSES[item.name]), set()
    for name in attributes:
        try:
            setattr(sample, name, getattr(sample, name))
            settable.add(name)
        except AttributeError:
            pass
    setters = {m.name for m in item.body if isinstance(m, ast.FunctionDef)
               and [ast.unparse(d) for d in m.decorator_list] == [m.name + ".setter"]}
    assert setters == settable, item.name


def test_stub_matches_the_runtime_signatures():
    stub = os.path.join(os.path.dirname(__file__), os.pardir, "tarnvel_core.pyi")
    with open(stub) as f:
        tree = ast.parse(f.read())
    assert ast.get_docstring(tree) == tc.__doc__
    for item in tree.body:
        if isinstance(item, ast.AnnAssign):
            assert type(getattr(tc, item.target.id)).__name__ == ast.unparse(item.annotation)
        if not isinstance(item, ast.ClassDef):
            continue
        cls = getattr(tc, item.name)
        if item.name in NATIVE_CLASSES:
            check_native_class(item, cls)
            continue
        stubbed = {m.name for m in item.body if isinstance(m, ast.FunctionDef)}
        assert stubbed == runtime_members(cls), item.name
        setters = set()
        for member in item.body:
            if not isinstance(member, ast.FunctionDef):
                continue
            runtime = vars(cls)[member.name]
            decorators = [ast.unparse(d) for d in member.decorator_list]
            if decorators == []:
                assert not isinstance(runtime, property), member.name
                text, with_names = runtime.__doc__, True
            elif decorators == ["property"]:
                text, with_names = runtime.fget.__doc__, False
            else:
                assert decorators == [member.name + ".setter"], decorators
                text, with_names = runtime.fset.__doc__, False
                setters.add(member.name)
            actual = signature(text, member.name)
            where = (item.name, member.name, decorators)
            assert parameters(member, with_names) == parameters(actual, with_names, True), where
            assert ast.unparse(member.returns) == ast.unparse(actual.returns), where
        assert setters == {n for n, v in vars(cls).items() if isinstance(v, property) and v.fset}, item.name
    for function in (i for i in tree.body if isinstance(i, ast.FunctionDef)):
        actual = signature(getattr(tc, function.name).__doc__, function.name)
        assert parameters(function, True, self_first=False) == \
            parameters(actual, True, True, self_first=False), function.name
        assert ast.unparse(function.returns) == ast.unparse(actual.returns), function.name
    stubbed = {i.name for i in tree.body if isinstance(i, (ast.ClassDef, ast.FunctionDef))}
    stubbed |= {i.target.id for i in tree.body if isinstance(i, ast.AnnAssign)}
    assert stubbed == {n for n in vars(tc) if not n.startswith("__")}
