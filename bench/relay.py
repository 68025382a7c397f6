#!/usr/bin/env python3
"""A TCP relay that adds a fixed delay in each direction, for benchmarks of transfers
over a link with a round trip (10 ms each way gives a 20 ms round trip).

    bench/relay.py --listen PORT --to PORT [--delay-ms 10]

Listens on 127.0.0.1:PORT and forwards every connection to 127.0.0.1:TO. Each chunk read
from one side is written to the other side DELAY after it arrived, in order; throughput is
not limited. Runs until killed (SIGTERM).
"""

import argparse
import asyncio


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                break
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.ensure_future(send())
    try:
        while True:
            data = await reader.read(1 << 16)
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
        writer.close()


async def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--listen", type=int, required=True)
    ap.add_argument("--to", type=int, required=True)
    ap.add_argument("--delay-ms", type=float, default=10.0)
    args = ap.parse_args()
    delay = args.delay_ms / 1000.0

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.to)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay),
                             pipe(server_reader, client_writer, delay),
                             return_exceptions=True)

    server = await asyncio.start_server(handle, "127.0.0.1", args.listen)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
