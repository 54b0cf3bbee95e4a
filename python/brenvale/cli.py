"""Command line: ``python -m brenvale COMMAND ...``.

Exit status: 0 on success, 2 for a usage error (argparse), 1 for input that
cannot be used (unreadable or malformed model, unwritable output, compiled
module missing), reported as one line on standard error.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence

from .model_io import ModelFormatError, load_build
from .output import write_text_atomic

PROG = "brenvale"


class CommandError(Exception):
    """A failure to report as one line on standard error, with exit status 1."""


def _load(path: str):
    try:
        return load_build(path)
    except ModelFormatError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None


def _emit(text: str, output: str | None) -> None:
    if output is None or output == "-":
        sys.stdout.write(text)
        sys.stdout.write("\n")
        sys.stdout.flush()
        return
    try:
        write_text_atomic(output, text + "\n")
    except OSError as error:
        raise CommandError(f"cannot write {output}: {error.strerror or error}") from None


def _run_contract(args: argparse.Namespace) -> int:
    build = _load(args.model)
    try:
        from .pipeline import build_contract

        contract = build_contract(build, sankey=args.sankey, graph=args.graph)
    except ImportError as error:
        raise CommandError(
            f"the compiled module is not available ({error}); install the package with 'pip install .'"
        ) from None
    _emit(json.dumps(contract, indent=args.indent), args.output)
    return 0


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Presentation back end of the Brenvale firmware memory-layout analyser.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    contract = commands.add_parser(
        "contract",
        help="build the visualization contract of a build model",
        description=(
            "Read a build model (JSON), compute region usage, padding waste and "
            "overflow issues, and write the visualization contract as JSON."
        ),
    )
    contract.add_argument("model", metavar="MODEL.json", help="build model file")
    contract.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the contract to FILE (replaced atomically) instead of standard output",
    )
    contract.add_argument("--sankey", action="store_true", help="include the Sankey flow view")
    contract.add_argument(
        "--graph", action="store_true", help="include the component/object/symbol graph"
    )
    contract.add_argument(
        "--indent", type=_non_negative, default=None, metavar="N", help="indent the JSON by N spaces"
    )
    contract.set_defaults(run=_run_contract)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CommandError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1


__all__ = ["CommandError", "build_parser", "main"]
