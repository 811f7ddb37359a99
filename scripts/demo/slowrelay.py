#!/usr/bin/python3
"""A TCP relay on loopback that passes replies on at a bounded rate, like a slow network.

On loopback the packages arrive in milliseconds and the download window is gone before anyone
sees it; behind this relay the download takes a few seconds. Prints "port N" once listening.
The upstream port is read from a file at each connection, so the relay can be started (and
its port given to the update server as the packages' address) before the upstream exists.
"""

import argparse
import asyncio
import signal
import sys


async def pump(reader, writer, rate):
    try:
        while True:
            data = await reader.read(16384)
            if not data:
                break
            writer.write(data)
            await writer.drain()
            if rate:
                await asyncio.sleep(len(data) / rate)
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        try:
            writer.close()
        except Exception:
            pass


async def relay(client_reader, client_writer, port_file, rate):
    try:
        with open(port_file) as file:
            port = int(file.read().strip())
        upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", port)
    except (OSError, ValueError) as error:
        print("slowrelay: no upstream: %s" % error, file=sys.stderr, flush=True)
        client_writer.close()
        return
    await asyncio.gather(pump(client_reader, upstream_writer, 0),
                         pump(upstream_reader, client_writer, rate))


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--upstream-port-file", required=True)
    parser.add_argument("--rate", type=int, default=262144, help="bytes per second")
    arguments = parser.parse_args()

    server = await asyncio.start_server(
        lambda r, w: relay(r, w, arguments.upstream_port_file, arguments.rate), "127.0.0.1", 0)
    print("port %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        asyncio.get_running_loop().add_signal_handler(number, stop.set)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
