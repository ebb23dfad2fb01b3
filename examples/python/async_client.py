"""Calls from a coroutine: many calls in flight, the event loop free meanwhile."""
import asyncio

import tarnvel


async def main() -> None:
    with tarnvel.Node("async-client", "demo") as node:
        server = await node.apeer("server")
        print(await asyncio.gather(*(server.add.aio(i, i) for i in range(5))))
        front = await node.apeer("front")
        print(await front.both.aio(2, 3))
        try:
            await node.acall("nobody", "add", [1, 2], timeout=0.2)
        except tarnvel.PeerNotFound as e:
            print("PeerNotFound:", e)


asyncio.run(main())
