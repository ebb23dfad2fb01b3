"""A node "front" whose methods call the node "server": a service composed of others."""
import asyncio

import tarnvel

with tarnvel.Node("front", "demo") as node:

    @node.method
    def total(values: list[int]) -> int:
        """Adds the values up, one call of server.add each."""
        # A plain method runs on one of the node's worker threads: it may
        # take its time and wait for calls, to any node, this one included.
        server = node.peer("server")
        result = 0
        for value in values:
            result = server.add(result, value)
        return result

    @node.method
    async def both(a: int, b: int) -> list[int]:
        """Asks server.add and this node's total at once."""
        # An async method runs on the event loop of serve(), many calls of it
        # at once; awaiting a call leaves the loop free meanwhile.
        server = await node.apeer("server")
        front = await node.apeer("front")
        return list(await asyncio.gather(server.add.aio(a, b), front.total.aio([a, b, 1])))

    print("serving: node front in system demo (Ctrl-C stops it)", flush=True)
    asyncio.run(node.serve())
