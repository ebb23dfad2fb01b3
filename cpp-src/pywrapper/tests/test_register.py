import gc
import json
import sys

import pytest

import tarnvel_core as tc
from support import list_methods, self_call, unique


def names_listed(node):
    return [d["name"] for d in list_methods(node, "main")]


def test_echo_across_processes(node, peer):
    assert node.register({"name": "echo"}, lambda args: args) is True
    assert peer.call("main", node.pid, "echo", b"abc") == (tc.STATUS_OK, b"abc")


def test_second_registration_is_refused_and_the_first_keeps_serving(node):
    assert node.register({"name": "echo", "v": 1}, lambda args: args) is True
    assert node.register({"name": "echo", "v": 2}, lambda args: b"second") is False
    result = self_call(node, "main", "echo", b"first")
    assert (result.status, result.result) == (tc.STATUS_OK, b"first")
    assert [d for d in list_methods(node, "main") if d["name"] == "echo"] == [{"name": "echo", "v": 1}]


@pytest.mark.parametrize("descriptor", [
    {}, {"name": 5}, {"name": ""}, {"name": "sys.mine"}, {"name": None},
    {"name": "nan", "x": float("nan")}, {"name": "inf", "x": [float("inf")]},
    {"name": "surrogate", "x": "\ud800"},
])
def test_refused_descriptors(node, descriptor):
    assert node.register(descriptor, lambda args: args) is False
    assert names_listed(node) == ["sys.list_methods", "sys.list_nodes"]


@pytest.mark.parametrize("descriptor, message", [
    ({"name": "s", "x": {1, 2}}, "^Object of type set is not JSON serializable"),
    ({"name": "t", (1, 2): 1}, "^keys must be str, int, float, bool or None, not tuple$"),
])
def test_unserialisable_descriptors_raise_the_json_error(node, descriptor, message):
    with pytest.raises(TypeError, match=message) as raised:
        node.register(descriptor, lambda args: args)
    with pytest.raises(TypeError) as from_json:
        json.dumps(descriptor)
    assert (str(raised.value), getattr(raised.value, "__notes__", None)) == \
        (str(from_json.value), getattr(from_json.value, "__notes__", None))
    assert names_listed(node) == ["sys.list_methods", "sys.list_nodes"]


def test_argument_types(node):
    with pytest.raises(TypeError):
        node.register([("name", "x")], lambda args: args)
    with pytest.raises(TypeError):
        node.register({"name": "x"}, "not callable")
    with pytest.raises(TypeError):
        node.register(descriptor={"name": "x"}, handler=lambda args: args)

    class Descriptor(dict):
        pass

    assert node.register(Descriptor(name="sub"), lambda args: args) is True


def nested(name, levels):
    descriptor = {"name": name}
    inner = descriptor
    for _ in range(levels - 1):
        inner["n"] = {}
        inner = inner["n"]
    return descriptor


def test_nesting_limit(node):
    assert node.register(nested("deep32", 32), lambda args: args) is True
    assert node.register(nested("deep33", 33), lambda args: args) is False


def test_descriptors_come_back_as_json_turns_them(node):
    descriptor = {"name": "mixed", 5: "five", "text": "gr\u00fc\u00df \u2603", "big": 2 ** 70}
    assert node.register(descriptor, lambda args: args) is True
    listed = [d for d in list_methods(node, "main") if d["name"] == "mixed"]
    assert listed == [{"name": "mixed", "5": "five", "text": "gr\u00fc\u00df \u2603", "big": float(2 ** 70)}]
    assert type(listed[0]["big"]) is float


class Sub(bytes):
    pass


async def coroutine_handler(args):
    return args


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
@pytest.mark.parametrize("handler", [
    lambda args: "text", lambda args: bytearray(args), lambda args: None,
    lambda args: memoryview(args), coroutine_handler,
], ids=["str", "bytearray", "None", "memoryview", "coroutine"])
def test_handlers_returning_non_bytes_fail_the_call(node, handler):
    assert node.register({"name": "bad"}, handler)
    assert node.register({"name": "echo"}, lambda args: args)
    for _ in range(2):
        result = self_call(node, "main", "bad", b"x")
        assert (result.status, result.result) == (tc.STATUS_EXEC_FAILED, b"")
        assert self_call(node, "main", "echo", b"still").result == b"still"


def test_raising_handler_fails_the_call_silently(node, capfd):
    def boom(args):
        raise ValueError("boom")

    assert node.register({"name": "boom"}, boom)
    result = self_call(node, "main", "boom", b"x")
    assert (result.status, result.result) == (tc.STATUS_EXEC_FAILED, b"")
    assert capfd.readouterr() == ("", "")


def test_handler_arguments_and_results(node):
    seen = []

    def record(args):
        seen.append(args)
        return Sub(b"sub:" + args)

    assert node.register({"name": "rec"}, record)
    assert self_call(node, "main", "rec", b"").result == b"sub:"
    assert self_call(node, "main", "rec", b"\x00\xff").result == b"sub:\x00\xff"
    assert seen == [b"", b"\x00\xff"] and all(type(a) is bytes for a in seen)


def test_large_answers_arrive_whole_and_their_objects_are_let_go(system):
    # Large answers are written from the method's own bytes object, which
    # outlives the call: it must be let go of by the next call, or at close.
    big = bytes(range(256)) * 1024
    answers = [big, Sub(big), big, b"small", big]
    node = tc.Tarnvel("big", system, unique("rx"), 1 << 20)
    try:
        assert node.register({"name": "next"}, lambda args: answers.pop(0))
        def held_elsewhere():
            return sys.getrefcount(big) - sum(answer is big for answer in answers)

        unheld = held_elsewhere()
        for expected in (big, big, big, b"small"):
            result = self_call(node, "big", "next")
            assert (result.status, result.result) == (tc.STATUS_OK, expected)
        del result
        assert held_elsewhere() == unheld
        assert self_call(node, "big", "next").result == big
        # Answers nobody else holds: one let go of too early would be read
        # after it is freed.
        assert node.register({"name": "fresh"}, lambda args: args * 100_000)
        for args in (b"abc", b"de", b"f"):
            assert self_call(node, "big", "fresh", args).result == args * 100_000
    finally:
        node.close()
    del node
    gc.collect()
    assert held_elsewhere() == unheld


def test_handler_may_register_and_call_through_its_own_node(node):
    futures = []

    def setup(args):
        ok = node.register({"name": "late"}, lambda a: b"late:" + a)
        futures.append(node.call_raw("main", node.pid, "late", b"x", 5000))
        return b"yes" if ok else b"no"

    assert node.register({"name": "setup"}, setup)
    assert self_call(node, "main", "setup").result == b"yes"
    assert futures[0].result(timeout=10).result == b"late:x"


def test_register_on_a_closed_node(node):
    node.close()
    with pytest.raises(RuntimeError, match="^Tarnvel is closed$"):
        node.register({}, lambda args: args)
