#!/usr/bin/env python3
"""An emulated player's link between a client and a server on loopback.

    bench/linkrelay.py serve --profile far --listen PORT --upstream HOST:PORT
    bench/linkrelay.py check [--profile NAME]

Every connection accepted on the listening port is relayed to the upstream server. The relay adds
a fixed round trip (half of it to each 16 KiB chunk in each direction, and one whole round trip
before the first bytes of a connection go out, as a TCP handshake costs) and paces what flows back
from the server: all connections together at the profile's total rate, each one at most at its
own rate. It reads from the server only as fast as it may pass bytes on, so TCP's own flow
control holds the server back and the relay keeps at most a few chunks per connection.

`check` measures the relay itself: one curl of one file through it, served from a local server,
must take size / min(rate, per-connection rate) plus the round trips within 5 %.
"""

import argparse
import asyncio
import os
import subprocess
import sys
import tempfile
import threading
import time
from http.server import HTTPServer, SimpleHTTPRequestHandler

CHUNK = 16 * 1024
# A sleep of the event loop ends a millisecond or more late; letting the link run this far behind
# its schedule lets the next chunks make that up, so the average rate is the profile's.
CATCH_UP = 0.020

# Round trip in seconds, total rate and per-connection rate in bytes per second (None: no cap).
PROFILES = {
    "far": (0.040, 100_000_000 / 8, None),
    "paced": (0.040, 100_000_000 / 8, 2_000_000),
}


class Link:
    """The shared part of the link: when the next byte may leave, over all connections."""

    def __init__(self, rtt, rate, per_connection):
        self.rtt = rtt
        self.rate = rate
        self.per_connection = per_connection
        self.free_at = 0.0

    def reserve(self, size, connection_free_at):
        """The time the chunk has crossed the link, and the connection's next free time."""
        earliest = time.monotonic() - CATCH_UP
        done = max(earliest, self.free_at) + size / self.rate
        self.free_at = done
        if self.per_connection:
            connection_done = max(earliest, connection_free_at) + size / self.per_connection
            done = max(done, connection_done)
            connection_free_at = connection_done
        return done, connection_free_at


async def deliver(queue, writer):
    """Writes each chunk at its due time; None ends the direction."""
    while True:
        item = await queue.get()
        if item is None:
            break
        due, data = item
        delay = due - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        writer.write(data)
        await writer.drain()
    if writer.can_write_eof():
        writer.write_eof()


async def pump(reader, writer, link, paced, start_delay):
    queue = asyncio.Queue()
    delivery = asyncio.ensure_future(deliver(queue, writer))
    connection_free_at = 0.0
    first = True
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            sent = time.monotonic()
            if first:
                sent += start_delay
                first = False
            if paced:
                crossed, connection_free_at = link.reserve(len(data), connection_free_at)
                sent = max(sent, crossed)
                # Read on only once this chunk has crossed, so the server waits, not the relay.
                wait = sent - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
            await queue.put((sent + link.rtt / 2, data))
    except (ConnectionError, OSError):
        pass
    finally:
        await queue.put(None)
        try:
            await delivery
        except (ConnectionError, OSError):
            pass


async def relay(client_reader, client_writer, link, upstream):
    host, port = upstream
    try:
        server_reader, server_writer = await asyncio.open_connection(host, port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(
        pump(client_reader, server_writer, link, False, link.rtt),
        pump(server_reader, client_writer, link, True, 0.0),
    )
    for writer in (client_writer, server_writer):
        writer.close()


async def serve(port, upstream, link, ready=None):
    server = await asyncio.start_server(
        lambda r, w: relay(r, w, link, upstream), "127.0.0.1", port, backlog=256
    )
    if ready:
        ready(server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


def check(profile):
    rtt, rate, per_connection = PROFILES[profile]
    effective = min(rate, per_connection or rate)
    size = int(effective * 8)  # about 8 s of transfer
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "big.bin"), "wb") as file:
            file.write(os.urandom(size))

        class Quiet(SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def log_message(self, *args):
                pass

        origin = HTTPServer(("127.0.0.1", 0), Quiet)
        threading.Thread(target=origin.serve_forever, daemon=True).start()
        listening = []
        started = threading.Event()

        def run_relay():
            def ready(port):
                listening.append(port)
                started.set()

            asyncio.run(
                serve(0, ("127.0.0.1", origin.server_port), Link(rtt, rate, per_connection), ready)
            )

        threading.Thread(target=run_relay, daemon=True).start()
        started.wait(5)
        begin = time.monotonic()
        subprocess.run(
            ["curl", "-sS", "-o", "/dev/null", f"http://127.0.0.1:{listening[0]}/big.bin"],
            check=True,
        )
        taken = time.monotonic() - begin
        origin.shutdown()
    # One round trip for the connection, one for the request.
    ideal = size / effective + 2 * rtt
    ratio = taken / ideal
    verdict = "ok" if abs(ratio - 1) <= 0.05 else "OFF"
    print(
        f"link {profile}: {size / 1e6:.1f} MB in {taken:.2f} s, ideal {ideal:.2f} s, "
        f"{ratio:.3f}x: {verdict}"
    )
    return verdict == "ok"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("serve")
    run.add_argument("--profile", choices=PROFILES, required=True)
    run.add_argument("--listen", type=int, required=True)
    run.add_argument("--upstream", required=True, help="HOST:PORT")
    measure = commands.add_parser("check")
    measure.add_argument("--profile", choices=PROFILES, action="append")
    args = parser.parse_args()
    if args.command == "serve":
        host, _, port = args.upstream.rpartition(":")
        try:
            asyncio.run(serve(args.listen, (host, int(port)), Link(*PROFILES[args.profile])))
        except KeyboardInterrupt:
            pass
        return 0
    results = [check(profile) for profile in (args.profile or list(PROFILES))]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
