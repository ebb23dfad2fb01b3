import os
import subprocess
import sys
import time

import pytest

import tarnvel_core as tc
from support import module_env, shm_leftovers, unique, wait_for

SCENARIOS = os.path.join(os.path.dirname(__file__), "scenarios.py")


def run_scenario(*args, status=0):
    system = unique("s")
    started = time.monotonic()
    proc = subprocess.run([sys.executable, SCENARIOS, args[0], system, *args[1:]],
                          capture_output=True, text=True, timeout=30, env=module_env())
    assert (proc.returncode, proc.stderr) == (status, "")
    assert wait_for(lambda: not shm_leftovers(system)), shm_leftovers(system)
    return time.monotonic() - started


def test_interpreter_exit_with_open_nodes_and_pending_calls():
    assert run_scenario("exit_with_open_nodes", status=7) < 10


# Each in a process of its own; see the scenario's docstring in scenarios.py.
@pytest.mark.parametrize("scenario", [
    "close_during_handler close", "close_during_handler exit", "close_during_handler del",
    "close_with_calls_in_flight", "close_with_blocked_calls", "callback_closes_its_node", "handler_closes_its_node",
    "handler_and_thread_close thread", "handler_and_thread_close handler", "node_dropped_by_its_waiters",
    "node_dropped_by_a_busy_caller",
    "fork_child_closes", "drop_in_handler", "drop_each_other_in_handlers",
])
def test_lifecycle_scenario(scenario):
    run_scenario(*scenario.split())


def test_future_resolved_by_its_user_first(node, capfd):
    assert node.register({"name": "slow"}, lambda args: (time.sleep(0.2), args)[1])
    future = node.call_raw("main", node.pid, "slow", b"x", 5000)
    future.set_result("mine")
    assert node.call_raw("main", node.pid, "slow", b"y", 5000).result(timeout=10).result == b"y"
    # close returns once every Future of the node is resolved: the waiter has
    # met the user's result by then, and must have ended quietly.
    node.close()
    assert future.result() == "mine"
    assert capfd.readouterr() == ("", "")
