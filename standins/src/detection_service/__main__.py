"""python -m detection_service: serve the detection service until SIGTERM or SIGINT."""

from __future__ import annotations

import argparse
import asyncio
import signal
import ssl
import sys

from detection_service.app import ServiceState
from detection_service.server import LOOPBACK, bind_socket, start_site


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m detection_service", description=__doc__)
    parser.add_argument("--host", default=LOOPBACK, help="IPv4 loopback address to listen on (default %(default)s)")
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one (default)")
    parser.add_argument("--certfile", help="PEM certificate chain: serve HTTPS")
    parser.add_argument("--keyfile", help="PEM private key of --certfile (if not in the same file)")
    parser.add_argument("--token", action="append", dest="tokens", metavar="TOKEN",
                        help="accepted bearer token; repeat for several (default: any non-empty token)")
    parser.add_argument("--instance-id", action="append", dest="instance_ids", metavar="ID",
                        help="accepted service instance id; repeat for several (default: any non-empty id)")
    return parser


async def _serve(sock, ssl_context, state: ServiceState, url: str) -> None:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    state.stopping = asyncio.Event()
    runner = await start_site(state, sock, ssl_context)
    print(f"listening on {url}", flush=True)
    try:
        await stop.wait()
    finally:
        state.stopping.set()
        await runner.cleanup()


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.keyfile and not args.certfile:
        parser.error("--keyfile needs --certfile")
    ssl_context = None
    if args.certfile:
        ssl_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        try:
            ssl_context.load_cert_chain(args.certfile, args.keyfile)
        except (OSError, ssl.SSLError) as exc:
            parser.error(f"cannot load the certificate: {exc}")
    try:
        state = ServiceState(tokens=args.tokens, instance_id=args.instance_ids)
        sock = bind_socket(args.host, args.port)
    except (ValueError, OSError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2 if isinstance(exc, ValueError) else 1
    scheme = "https" if ssl_context else "http"
    url = f"{scheme}://{args.host}:{sock.getsockname()[1]}"
    try:
        asyncio.run(_serve(sock, ssl_context, state, url))
    finally:
        sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
