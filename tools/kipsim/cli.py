"""Command line of kip-confd-sim."""

import argparse
import asyncio
import functools
import json
import os
import signal
import sys
from pathlib import Path

from . import schema
from .confd import ConfDaemon
from .faults import Faults, add_arguments
from .network import Network
from .server import Simulator, TrafficLog

EXIT_BAD_NETWORK = 2
DEFAULT_NETWORK = Path(__file__).resolve().parents[2] / "examples" / "network.json"


def _port(text):
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"not a TCP port: {text}")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kip-confd-sim",
        description="Stands in for the configuration daemon and the devices of a "
                    "Corvanet control network, so that kipd can run on one machine.")
    parser.add_argument("--address", default="127.0.0.1", metavar="ADDR", help="address to listen on")
    parser.add_argument("--main-port", type=_port, default=3972, metavar="PORT",
                        help="port of the main link (0 picks a free one)")
    parser.add_argument("--direct-port", type=_port, default=3973, metavar="PORT",
                        help="port of the direct link (0 picks a free one)")
    parser.add_argument("--control-port", type=_port, metavar="PORT",
                        help="port for JSON-line control commands (0 picks a free one)")
    parser.add_argument("--network", default=str(DEFAULT_NETWORK), metavar="FILE",
                        help="network description file (default: %(default)s)")
    parser.add_argument("--state", metavar="FILE",
                        help="keep the configuration in FILE: used instead of --network "
                             "when it exists, rewritten after every change and at exit")
    parser.add_argument("--log", metavar="FILE",
                        help="write every message in and out to FILE, one JSON object a line")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="print every message in and out on standard error")
    parser.add_argument("--update-time", type=float, default=0.1, metavar="SECONDS",
                        help='time between "working" and "ok" of "system update"')
    parser.add_argument("--reboot-drops", action="store_true",
                        help='drop all connections when this box is told to "reboot"')
    parser.add_argument("--check", action="store_true",
                        help="check the network (or state) file and exit")
    add_arguments(parser)
    return parser


def load_network(args):
    """The state file when it holds a state, else the network description."""
    if args.state and os.path.isfile(args.state) and os.path.getsize(args.state) > 0:
        return args.state, Network(schema.load(args.state))
    return args.network, Network(schema.load(args.network))


def save_state(network, path):
    temporary = f"{path}.tmp"
    try:
        with open(temporary, "w", encoding="utf-8") as handle:
            json.dump(network.to_dict(), handle, indent=2)
            handle.write("\n")
        os.replace(temporary, path)
    except OSError as error:
        print(f"kip-confd-sim: cannot write the state file: {error}", file=sys.stderr)


async def serve(args, network):
    log = TrafficLog(args.log, args.verbose)
    on_change = None
    if args.state:
        on_change = functools.partial(save_state, network, args.state)
    simulator = Simulator(ConfDaemon(network, args.update_time), Faults.from_namespace(args), log,
                          args.address, (args.main_port, args.direct_port), args.control_port,
                          on_change, args.reboot_drops)
    try:
        await simulator.start()
        if on_change:
            on_change()
        for line in simulator.ready_lines():
            print(line, flush=True)
        await _until_signalled()
    finally:
        await simulator.close()
        if on_change:
            on_change()
        log.close()


async def _until_signalled():
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    await stop.wait()


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        source, network = load_network(args)
    except schema.NetworkError as error:
        print(f"kip-confd-sim: bad network file: {error}", file=sys.stderr)
        return EXIT_BAD_NETWORK
    if args.check:
        print(f"kip-confd-sim: {source}: ok, {len(network.devices)} other devices, "
              f"{len(network.subsystems)} subsystems")
        return 0
    try:
        asyncio.run(serve(args, network))
    except OSError as error:
        print(f"kip-confd-sim: {error}", file=sys.stderr)
        return 1
    return 0
