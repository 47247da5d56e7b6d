#!/usr/bin/env python3
"""A slow web server for bench/run: serves the files under ROOT over HTTP/1.1, answering every
request only after a fixed delay, as a distant server would.

    latency_server.py --port PORT --root ROOT [--delay-ms 50]

Connections are kept alive (HTTP/1.1 unless the client sends "Connection: close"); answers are
framed with Content-Length. Requests on one connection are answered one after another, each after
its own delay; separate connections wait side by side. GET and HEAD only. Listens on 127.0.0.1.
"""
import argparse
import asyncio
import os
import urllib.parse

REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed"}


def answer(status, body, keep_alive, head_only):
    head = (
        f"HTTP/1.1 {status} {REASONS[status]}\r\n"
        f"Content-Length: {len(body)}\r\n"
        "Content-Type: application/octet-stream\r\n"
        + ("" if keep_alive else "Connection: close\r\n")
        + "\r\n"
    )
    return head.encode("latin-1") + (b"" if head_only else body)


async def serve_connection(reader, writer, root, delay):
    try:
        while True:
            try:
                raw = await reader.readuntil(b"\r\n\r\n")
            except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
                break
            lines = raw.decode("latin-1").split("\r\n")
            parts = lines[0].split(" ")
            headers = {}
            for line in lines[1:]:
                name, sep, value = line.partition(":")
                if sep:
                    headers[name.strip().lower()] = value.strip()
            # A request body is read and dropped, so that the next request starts where it should.
            length = headers.get("content-length", "0")
            if length.isdigit() and int(length) > 0:
                try:
                    await reader.readexactly(int(length))
                except (asyncio.IncompleteReadError, ConnectionError):
                    break

            await asyncio.sleep(delay)

            if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
                writer.write(answer(400, b"", False, False))
                await writer.drain()
                break
            method, target, version = parts
            connection = headers.get("connection", "").lower()
            if version == "HTTP/1.1":
                keep_alive = "close" not in connection
            else:
                keep_alive = "keep-alive" in connection
            head_only = method == "HEAD"

            if method not in ("GET", "HEAD"):
                status, body = 405, b""
            else:
                path = urllib.parse.unquote(urllib.parse.urlsplit(target).path)
                full = os.path.realpath(os.path.join(root, path.lstrip("/")))
                if full.startswith(root + os.sep) and os.path.isfile(full):
                    with open(full, "rb") as f:
                        status, body = 200, f.read()
                else:
                    status, body = 404, b""
            writer.write(answer(status, body, keep_alive, head_only))
            await writer.drain()
            if not keep_alive:
                break
    except ConnectionError:
        pass
    finally:
        writer.close()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--delay-ms", type=float, default=50.0)
    args = parser.parse_args()
    root = os.path.realpath(args.root)
    delay = args.delay_ms / 1000.0
    server = await asyncio.start_server(
        lambda r, w: serve_connection(r, w, root, delay), "127.0.0.1", args.port, backlog=256
    )
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
