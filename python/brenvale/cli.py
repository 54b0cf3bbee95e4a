"""Command line: ``brenvale COMMAND ...`` (also ``python -m brenvale``).

Commands:

* ``contract MODEL [--baseline MODEL] [--sankey] [--graph] [-o FILE]``: the
  visualization contract as JSON;
* ``diff BASELINE CURRENT [--html FILE] [--json FILE]``: the console summary
  of a build comparison, and the HTML report and payload when asked for;
* ``view INPUT [-o FILE] [--baseline MODEL] [--sankey] [--graph]``: the layout
  page, a self-contained HTML drawing of the contract of a build (or of a
  contract JSON file);
* ``demo [--out DIR]``: all of them on the bundled baseline/current sample pair.

A MODEL is a JSON build model or a GNU ld map file, told apart by content.

Exit status: 0 on success, 2 for a usage error (argparse), 1 for input that
cannot be used (unreadable or malformed model, builds that cannot be
compared, unwritable output, compiled module missing), reported as one line
on standard error.  Output files are written only when everything succeeded,
each through a temporary file renamed into place.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from .compare import BuildMismatchError
from .model_io import ModelFormatError
from .output import write_texts_atomic
from .records import BuildInput

PROG = "brenvale"


class CommandError(Exception):
    """A failure to report as one line on standard error, with exit status 1."""


@contextmanager
def _compiled_modules() -> Iterator[None]:
    try:
        yield
    except ImportError as error:
        raise CommandError(
            f"the compiled modules are not available ({error}); install the package with 'pip install .'"
        ) from None


def _load(path: str) -> BuildInput:
    from .pipeline import load_input

    try:
        return load_input(path)
    except ModelFormatError as error:
        raise CommandError(str(error)) from None
    except IsADirectoryError:
        raise CommandError(f"cannot read {path}: it is a directory") from None
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None


def _compare(
    baseline: BuildInput, current: BuildInput, baseline_path: str, current_path: str
) -> tuple[dict[str, Any], dict[str, Any]]:
    from .pipeline import compare_files

    try:
        with _compiled_modules():
            return compare_files(baseline, current, baseline_path=baseline_path, current_path=current_path)
    except BuildMismatchError as error:
        raise CommandError(f"cannot compare {current_path} with baseline {baseline_path}: {error}") from None


def _write(files: Sequence[tuple[str, str]]) -> None:
    try:
        write_texts_atomic(files)
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror or error}") from None


def _contract_text(
    build: BuildInput, regressions: dict[str, Any] | None, *, sankey: bool, graph: bool, indent: int | None
) -> str:
    from .pipeline import contract_json

    with _compiled_modules():
        return contract_json(build, sankey=sankey, graph=graph, regressions=regressions, indent=indent)


def _run_contract(args: argparse.Namespace) -> int:
    build = _load(args.model)
    regressions = None
    if args.baseline is not None:
        _, regressions = _compare(_load(args.baseline), build, args.baseline, args.model)
    text = _contract_text(build, regressions, sankey=args.sankey, graph=args.graph, indent=args.indent)
    pages = [] if args.html is None else [(args.html, _layout_page(text))]
    if args.output is None or args.output == "-":
        _write(pages)
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    else:
        _write([(args.output, text + "\n")] + pages)
    return 0


def _layout_page(contract_text: str) -> str:
    from .layout_page import render_layout_page_json

    return render_layout_page_json(contract_text)


def _read_contract_file(path: str) -> str | None:
    """The contract in *path* as compact JSON text, or None when the file is no contract.

    A file that is not JSON, or JSON that is no contract, is left to the
    build loaders, whose messages say what is wrong with it as a build.
    """
    from .layout_page import ContractError, check_contract, is_contract_document

    try:
        with open(path, "rb") as stream:
            head = stream.read(64).lstrip()
            if not head.startswith(b"{"):
                return None
            data = head + stream.read()
        document = json.loads(data.decode("utf-8", "surrogatepass"))
    except (OSError, UnicodeDecodeError, ValueError, RecursionError):
        return None
    if not is_contract_document(document):
        return None
    try:
        check_contract(document, path)
    except ContractError as error:
        raise CommandError(str(error)) from None
    return json.dumps(document, ensure_ascii=False)


def _run_view(args: argparse.Namespace) -> int:
    contract_text = _read_contract_file(args.input)
    if contract_text is not None:
        given = [flag for flag, on in (("--baseline", args.baseline is not None), ("--sankey", args.sankey),
                                       ("--graph", args.graph)) if on]
        if given:
            raise CommandError(
                f"{args.input} is a visualization contract, which already holds its views: "
                f"{', '.join(given)} can only be given with a build"
            )
    else:
        build = _load(args.input)
        regressions = None
        if args.baseline is not None:
            _, regressions = _compare(_load(args.baseline), build, args.baseline, args.input)
        contract_text = _contract_text(build, regressions, sankey=args.sankey, graph=args.graph, indent=None)
    _write([(args.output, _layout_page(contract_text))])
    print(f"Layout page: {args.output}")
    return 0


def _diff_outputs(payload: dict[str, Any], html: str | None, json_path: str | None) -> list[tuple[str, str, str]]:
    """(name, path, text) of every report file asked for."""
    outputs = []
    if html is not None:
        with _compiled_modules():
            from . import diffreport

            outputs.append(("html", html, diffreport.render_diff_html(payload)))
    if json_path is not None:
        outputs.append(("json", json_path, json.dumps(payload, indent=2) + "\n"))
    return outputs


def _summary(payload: dict[str, Any], written: dict[str, str]) -> str:
    with _compiled_modules():
        from . import diffreport

        return diffreport.render_diff_console_summary(payload, output_paths=written or None)


def _run_diff(args: argparse.Namespace) -> int:
    payload, _ = _compare(_load(args.baseline), _load(args.current), args.baseline, args.current)
    outputs = _diff_outputs(payload, args.html, args.json)
    summary = _summary(payload, {name: path for name, path, _ in outputs})
    _write([(path, text) for _, path, text in outputs])
    print(summary)
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    from .samples import BASELINE_SAMPLE, sample_path

    baseline = str(sample_path(BASELINE_SAMPLE))
    current = str(sample_path())
    out = args.out
    current_build = _load(current)
    payload, regressions = _compare(_load(baseline), current_build, baseline, current)
    contract_path = os.path.join(out, "contract.json")
    contract = _contract_text(current_build, regressions, sankey=True, graph=True, indent=2)
    outputs = _diff_outputs(payload, os.path.join(out, "diff.html"), os.path.join(out, "diff.json"))
    layout_path = os.path.join(out, "layout.html")
    outputs.append(("layout", layout_path, _layout_page(contract)))
    written = {"contract": contract_path, **{name: path for name, path, _ in outputs}}
    summary = _summary(payload, written)
    _write([(contract_path, contract + "\n")] + [(path, text) for _, path, text in outputs])
    print(f"Baseline build: {baseline}")
    print(f"Current build:  {current}")
    print()
    print(summary)
    print()
    print(f"Open {os.path.abspath(written['html'])} in a browser to see the report,")
    print(f"and {os.path.abspath(layout_path)} to see the memory layout.")
    return 0


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


_MODEL_HELP = "build model: a JSON model file or a GNU ld map file"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Presentation back end of the Brenvale firmware memory-layout analyser.",
        epilog="Run 'brenvale COMMAND --help' for the options of a command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    contract = commands.add_parser(
        "contract",
        help="build the visualization contract of a build",
        description=(
            "Read a build (JSON model or GNU ld map), compute region usage, padding waste "
            "and overflow issues, and write the visualization contract as JSON.  With "
            "--baseline the contract's diff view compares the build with that baseline."
        ),
    )
    contract.add_argument("model", metavar="MODEL", help=_MODEL_HELP)
    contract.add_argument("--baseline", metavar="MODEL", help="baseline build to compare with (" + _MODEL_HELP + ")")
    contract.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the contract to FILE (replaced atomically) instead of standard output",
    )
    contract.add_argument("--sankey", action="store_true", help="include the Sankey flow view")
    contract.add_argument("--graph", action="store_true", help="include the component/object/symbol graph")
    contract.add_argument(
        "--indent", type=_non_negative, default=None, metavar="N", help="indent the JSON by N spaces"
    )
    contract.add_argument("--html", metavar="FILE", help="also write the layout page of the contract to FILE")
    contract.set_defaults(run=_run_contract)

    view = commands.add_parser(
        "view",
        help="write the layout page: a self-contained HTML drawing of a contract",
        description=(
            "Write the layout page of INPUT: a build (JSON model or map file), whose contract is built "
            "first, or a visualization contract JSON file.  The page works offline; open it in a browser."
        ),
    )
    view.add_argument("input", metavar="INPUT", help=_MODEL_HELP + ", or a contract .json")
    view.add_argument("-o", "--output", metavar="FILE", default="layout.html",
                      help="write the page to FILE (default: layout.html)")
    view.add_argument("--baseline", metavar="MODEL", help="baseline build for the diff view (" + _MODEL_HELP + ")")
    view.add_argument("--sankey", action="store_true", help="include the Sankey flow view")
    view.add_argument("--graph", action="store_true", help="include the component/object/symbol graph")
    view.set_defaults(run=_run_view)

    diff = commands.add_parser(
        "diff",
        help="compare a build with a baseline build",
        description=(
            "Compare CURRENT with BASELINE (JSON models or GNU ld maps with the same memory "
            "regions), print a summary, and write the HTML report and the diff payload as JSON "
            "when asked for."
        ),
    )
    diff.add_argument("baseline", metavar="BASELINE", help="the earlier build (" + _MODEL_HELP + ")")
    diff.add_argument("current", metavar="CURRENT", help="the build to judge (" + _MODEL_HELP + ")")
    diff.add_argument("--html", metavar="FILE", help="write the self-contained HTML report to FILE")
    diff.add_argument("--json", metavar="FILE", help="write the diff payload as JSON to FILE")
    diff.set_defaults(run=_run_diff)

    demo = commands.add_parser(
        "demo",
        help="run contract and diff on the bundled sample builds",
        description=(
            "Compare the bundled current sample build with its bundled baseline and write "
            "contract.json, diff.html, diff.json and layout.html to DIR."
        ),
    )
    demo.add_argument("--out", metavar="DIR", default="out", help="output directory (default: out)")
    demo.set_defaults(run=_run_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except CommandError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1


__all__ = ["CommandError", "build_parser", "main"]
