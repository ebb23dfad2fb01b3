"""Finds the node "server" of the system "demo" and calls its methods."""
import tarnvel

with tarnvel.Node("client", "demo") as node:
    server = node.peer("server")             # waits up to 5 s for it to appear
    print(server.add(2, 40))                 # a call reads like Python
    print(server.add(2, b=40))               # keyword arguments too
    print(server.echo.raw(b"hi"))            # a raw method: bytes in, bytes out

    try:
        server.add("two", 40)                # the method raises TypeError
    except tarnvel.RemoteError as e:
        print("RemoteError:", e.type_name)

    try:
        node.call(server, "slow", [1.0], timeout=0.1)   # the explicit form, with a time-out
    except tarnvel.CallTimeout:
        print("CallTimeout")                 # the method goes on running there
