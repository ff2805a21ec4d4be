"""The chatroom demo's WebSockets as Python's websockets client sees them.

/echo with text, binary, 1 MiB messages, a message sent in fragments, a
ping and a close of the client's, then a close of the server's on /chat.
Prints one line per check, as ws_echo.mjs does, for
tests/ws_interop_test.cpp.

Usage: /usr/bin/python3 ws_echo.py PORT deflate|plain
Exits 77 (a skip) when the websockets package (python3-websockets) is
missing.
"""
import asyncio
import sys

SKIP = 77
WAIT_S = 20  # bound on the whole run

try:
    import websockets
except ImportError:
    print("skipped: no websockets module (apt-get install python3-websockets)")
    sys.exit(SKIP)


def noise(size):
    """Bytes that do not compress: a deflated copy is a little larger."""
    out = bytearray(size)
    x = 12345
    for i in range(size):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = x >> 24
    return bytes(out)


def lines(size):
    """Text of exactly |size| bytes: numbered lines."""
    parts, total, i = [], 0, 0
    while total < size:
        line = f"line {i}\n"
        parts.append(line)
        total += len(line)
        i += 1
    return "".join(parts)[:size]


def kind(message):
    return "binary" if isinstance(message, bytes) else "text"


async def echo(ws, label, payload):
    await ws.send(payload)
    got = await ws.recv()
    print(f"{label}: {kind(got)} {len(got)} {'same' if got == payload else 'differs'}")


async def main(port, compression):
    base = f"ws://127.0.0.1:{port}"
    # No pings of the client's own: the one below is the only one.  The
    # limit is checked on each frame as it came, before inflating, and 1 MiB
    # of noise grows a little when deflated: 1 MiB would refuse its echo.
    options = {"compression": compression, "ping_interval": None,
               "max_size": 2 << 20}
    async with websockets.connect(base + "/echo", **options) as ws:
        extensions = ws.response_headers.get("Sec-WebSocket-Extensions")
        print("extension:", extensions.split(";")[0] if extensions else "none")

        await ws.send("h\u00e9llo \u2713")
        got = await ws.recv()
        print(f"text: {kind(got)} {got}")
        await ws.send(bytes([0x00, 0xFF, 0x01, 0x80]))
        got = await ws.recv()
        print(f"binary: {kind(got)} {got.hex()}")

        await echo(ws, "1 MiB text", lines(1 << 20))
        await echo(ws, "1 MiB binary", noise(1 << 20))

        # One message in four frames of 64 KiB.
        part = lines(1 << 16)
        await ws.send([part] * 4)
        got = await ws.recv()
        print(f"fragments: {kind(got)} {len(got)} "
              f"{'same' if got == part * 4 else 'differs'}")

        # The waiter resolves only on a pong carrying the ping's data.
        waiter = await ws.ping(b"are you there")
        await waiter
        print("ping: pong are you there")

        await ws.close(4000, "bye")
        print(f"close: {ws.close_code} {ws.close_reason}")

    # The chat takes text only: binary is closed with 1003 by the server.
    async with websockets.connect(base + "/chat", **options) as chat:
        joined = await chat.recv()
        await chat.send(bytes([1, 2, 3]))
        await chat.wait_closed()
        print(f"chat: {joined}, then {chat.close_code} {chat.close_reason}")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in ("deflate", "plain"):
        print("usage: ws_echo.py PORT deflate|plain", file=sys.stderr)
        sys.exit(2)
    compression = "deflate" if sys.argv[2] == "deflate" else None
    try:
        asyncio.run(asyncio.wait_for(main(sys.argv[1], compression), WAIT_S))
    except asyncio.TimeoutError:
        print("timed out")
        sys.exit(1)
