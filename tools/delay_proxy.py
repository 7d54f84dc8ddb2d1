#!/usr/bin/env python3
"""A TCP delay line for timing transfers over real ssh (docs/performance.md, "Over real OpenSSH"):
listens on 127.0.0.1:LISTEN, forwards each connection to HOST:PORT and holds every chunk for
DELAY_MS milliseconds in each direction (a round trip of 2 x DELAY_MS), with no rate cap.
Usage: delay_proxy.py LISTEN HOST PORT DELAY_MS, then ssh -p LISTEN 127.0.0.1 ..."""
import asyncio
import sys
import time


async def pump(reader, writer, delay):
    queue = asyncio.Queue()

    async def read_side():
        while True:
            data = await reader.read(1 << 16)
            await queue.put((time.monotonic() + delay, data))
            if not data:
                return

    async def write_side():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                try:
                    writer.write_eof()
                except OSError:
                    pass
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(read_side(), write_side())
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main():
    listen, host, port, delay_ms = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    delay = delay_ms / 1000.0

    async def handle(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection(host, port)
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay))

    server = await asyncio.start_server(handle, "127.0.0.1", listen)
    async with server:
        await server.serve_forever()


asyncio.run(main())
