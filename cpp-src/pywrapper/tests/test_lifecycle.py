import os
import subprocess
import sys
import time

import pytest

import tarnvel_core as tc
from support import module_env, shm_leftovers, thread_count, unique, wait_for

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


@pytest.mark.parametrize("how", ["close", "exit", "del"])
def test_close_while_a_python_handler_runs(how):
    run_scenario("close_during_handler", how)


def test_close_finishes_futures_of_calls_in_flight():
    run_scenario("close_with_calls_in_flight")


def test_close_returns_with_every_cut_off_future_done():
    run_scenario("close_with_blocked_calls")


def test_done_callback_closing_its_own_node():
    run_scenario("callback_closes_its_node")


def test_handler_closing_its_own_node():
    run_scenario("handler_closes_its_node")


@pytest.mark.parametrize("first", ["thread", "handler"])
def test_handler_and_another_thread_closing_together(first):
    run_scenario("handler_and_thread_close", first)


def test_node_destroyed_on_a_waiter_thread():
    run_scenario("node_dropped_by_its_waiters")


def test_fork_child_closing_a_node_with_calls_outstanding():
    run_scenario("fork_child_closes")


def test_last_reference_dropped_inside_a_handler():
    run_scenario("drop_in_handler")


def test_handlers_dropping_each_others_last_reference():
    run_scenario("drop_each_other_in_handlers")


def test_future_resolved_by_its_user_first(node, capfd):
    assert node.register({"name": "slow"}, lambda args: (time.sleep(0.2), args)[1])
    baseline = thread_count()
    future = node.call_raw("main", node.pid, "slow", b"x", 5000)
    future.set_result("mine")
    # The waiter's own set_result fails; it must end quietly.
    assert wait_for(lambda: thread_count() <= baseline)
    assert future.result() == "mine"
    assert node.call_raw("main", node.pid, "slow", b"y", 5000).result(timeout=10).result == b"y"
    assert capfd.readouterr() == ("", "")
