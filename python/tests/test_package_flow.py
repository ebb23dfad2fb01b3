"""Bursts wait for room instead of losing messages; an answer too large for the caller ends its call at once."""

import asyncio

import pytest

import tarnvel

from conftest import Server


def test_burst_of_calls_with_large_arguments_and_answers_all_succeed(system, client, server):
    # 1,000 calls of 2 KB each way: twice what either default mailbox holds at once.
    peer = client.peer("server")
    sent = [bytes([i % 251]) * 2048 for i in range(1000)]

    async def burst():
        return await asyncio.gather(*(peer.echo.aio_raw(data) for data in sent))

    assert asyncio.run(burst()) == sent


def test_answer_too_large_for_the_callers_mailbox_ends_the_call_at_once(system):
    server = Server(system, "big")
    try:
        with tarnvel.Node("small", system, mailbox_bytes=4096) as node:
            # A time limit far beyond the test: only the failure answer ends the call.
            peer = node.peer("big", call_timeout=3600)
            with pytest.raises(tarnvel.DeliveryFailed,
                               match=r"answer of 8000 bytes was too large for this node's mailbox \(4096 bytes"):
                peer.echo.raw(bytes(8000))
            assert peer.echo.raw(b"fits") == b"fits"
    finally:
        assert server.stop() == 0
