#!/usr/bin/python3
"""Web-socket peer on Debian's python3-websockets for the client tests.

Listens on 127.0.0.1 (a free port, printed as "PORT <n>"), sends every
message back, and understands the same text commands as the local back
end's echo endpoint:
  "!fragments:<ping payload>:<text>"  <text> in three frames, a ping after the first
  "!pongs"                            "pongs:" and the payloads of the pongs received
  "!close:<code>:<reason>"            close with that code and reason
Each finished connection prints "CLOSED <code>" (the code the client sent).
"""
import asyncio
import sys

import websockets


async def handle(ws, *args):
    pongs = []
    try:
        async for message in ws:
            if isinstance(message, str) and message.startswith("!fragments:"):
                ping, _, text = message[len("!fragments:"):].partition(":")
                third = len(text) // 3
                parts = [text[:third], text[third:2 * third], text[2 * third:]]

                async def fragments():
                    yield parts[0]
                    waiter = await ws.ping(ping)
                    waiter.add_done_callback(lambda f: pongs.append(ping))
                    yield parts[1]
                    yield parts[2]

                await ws.send(fragments())
            elif message == "!pongs":
                await ws.send("pongs:" + ",".join(pongs))
            elif isinstance(message, str) and message.startswith("!close:"):
                code, _, reason = message[len("!close:"):].partition(":")
                await ws.close(int(code), reason)
            else:
                await ws.send(message)
    except websockets.ConnectionClosed:
        pass
    print("CLOSED", ws.close_code, flush=True)


async def main():
    async with websockets.serve(handle, "127.0.0.1", 0, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        print("PORT", port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
