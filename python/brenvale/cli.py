"""Command line: ``brenvale COMMAND ...`` (also ``python -m brenvale``).

Commands:

* ``contract MODEL [--baseline MODEL] [--sankey] [--graph] [-o FILE]``: the
  visualization contract as JSON;
* ``diff BASELINE CURRENT [--html FILE] [--json FILE]``: the console summary
  of a build comparison, and the HTML report and payload when asked for;
* ``demo [--out DIR]``: both on the bundled baseline/current sample pair.

A MODEL is a JSON build model or a GNU ld, armlink, lld or IAR map file, told
apart by content; ``--memory-regions FILE`` gives lld maps the regions of
their linker script.  A map that is cut short or damaged is refused unless
``--allow-partial`` is given; then it is read as far as it goes, with a
warning on standard error.

Exit status: 0 on success, 2 for a usage error (argparse), 1 for input that
cannot be used (unreadable, malformed, cut or damaged model or map,
unwritable output, compiled module missing), reported as one line on
standard error.  Output files are written only when everything succeeded,
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


def _load(path: str, args: argparse.Namespace | None = None) -> BuildInput:
    from .pipeline import load_input

    allow_partial = bool(getattr(args, "allow_partial", False))
    categories = getattr(args, "region_categories", None)
    try:
        build = load_input(
            path,
            allow_partial=allow_partial,
            region_categories=categories,
            memory_regions_path=getattr(args, "memory_regions", None),
        )
    except ModelFormatError as error:
        raise CommandError(str(error)) from None
    except IsADirectoryError as error:
        raise CommandError(f"cannot read {error.filename or path}: it is a directory") from None
    except OSError as error:
        raise CommandError(f"cannot read {error.filename or path}: {error.strerror or error}") from None
    for issue in build.issues:
        if issue.id.startswith(_PARTIAL_READ_ISSUES):
            print(f"{PROG}: warning: {issue.description}", file=sys.stderr)
    return build


# The reader's findings on a map read with --allow-partial.
_PARTIAL_READ_ISSUES = ("map:truncated", "map:damaged:")


def _compare(
    baseline: BuildInput, current: BuildInput, baseline_path: str, current_path: str
) -> tuple[dict[str, Any], dict[str, Any]]:
    from .pipeline import compare_files

    with _compiled_modules():
        return compare_files(baseline, current, baseline_path=baseline_path, current_path=current_path)


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


def _check_category_names(args: argparse.Namespace, *builds: BuildInput) -> None:
    from .memory_maps import unknown_override_names

    problem = unknown_override_names(args.region_categories or {}, *(b.model.memory_regions for b in builds))
    if problem is not None:
        raise CommandError(problem)


def _run_contract(args: argparse.Namespace) -> int:
    build = _load(args.model, args)
    _check_category_names(args, build)
    regressions = None
    if args.baseline is not None:
        _, regressions = _compare(_load(args.baseline, args), build, args.baseline, args.model)
    text = _contract_text(build, regressions, sankey=args.sankey, graph=args.graph, indent=args.indent)
    if args.output is None or args.output == "-":
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    else:
        _write([(args.output, text + "\n")])
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


def _region_change_lines(payload: dict[str, Any]) -> list[str]:
    """Lines naming the regions that only one of the two builds declares."""
    lines = []
    for status, label in (("added", "Regions added in the current build"), ("removed", "Regions removed since the baseline")):
        names = [row["region"] for row in payload.get("regions", []) if row.get("status") == status]
        if names:
            lines.append(f"{label}: {', '.join(names)}")
    return lines


def _run_diff(args: argparse.Namespace) -> int:
    baseline, current = _load(args.baseline, args), _load(args.current, args)
    _check_category_names(args, baseline, current)
    payload, _ = _compare(baseline, current, args.baseline, args.current)
    outputs = _diff_outputs(payload, args.html, args.json)
    summary = _summary(payload, {name: path for name, path, _ in outputs})
    _write([(path, text) for _, path, text in outputs])
    print(summary)
    for line in _region_change_lines(payload):
        print(line)
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
    written = {"contract": contract_path, **{name: path for name, path, _ in outputs}}
    summary = _summary(payload, written)
    _write([(contract_path, contract + "\n")] + [(path, text) for _, path, text in outputs])
    print(f"Baseline build: {baseline}")
    print(f"Current build:  {current}")
    print()
    print(summary)
    print()
    print(f"Open {os.path.abspath(written['html'])} in a browser to see the report.")
    return 0


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


_MODEL_HELP = "build model: a JSON model file or a GNU ld, armlink, lld or IAR map file"
_MEMORY_REGIONS_HELP = (
    "linker script (GNU ld syntax, or Rust's memory.x) whose MEMORY command gives the regions of "
    "lld maps, which print none; without it they are inferred from the section addresses"
)


def _category_override(text: str) -> tuple[str, str]:
    from .memory_maps import parse_category_overrides

    try:
        (name, category), = parse_category_overrides([text]).items()
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix(f"--region-category {text!r}: ")) from None
    return name, category.value


class _CategoryAction(argparse.Action):
    """Collects repeated --region-category NAME=CATEGORY into one map."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        from .records import RegionCategory

        categories = dict(getattr(namespace, self.dest, None) or {})
        name, category = values
        categories[name] = RegionCategory(category)
        setattr(namespace, self.dest, categories)


def _add_category_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--region-category",
        dest="region_categories",
        metavar="NAME=CATEGORY",
        type=_category_override,
        action=_CategoryAction,
        help=(
            "say what region NAME is: flash, ram or other (repeatable); it always wins over the "
            "category known from the chip or guessed from the region's name"
        ),
    )


_PARTIAL_HELP = (
    "read a map that is cut short or damaged as far as it goes, with a warning, "
    "instead of refusing it"
)


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
            "Read a build (JSON model or linker map), compute region usage, padding waste "
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
    contract.add_argument("--memory-regions", metavar="FILE", help=_MEMORY_REGIONS_HELP)
    contract.add_argument("--sankey", action="store_true", help="include the Sankey flow view")
    contract.add_argument("--graph", action="store_true", help="include the component/object/symbol graph")
    contract.add_argument(
        "--indent", type=_non_negative, default=None, metavar="N", help="indent the JSON by N spaces"
    )
    contract.add_argument("--allow-partial", action="store_true", help=_PARTIAL_HELP)
    _add_category_option(contract)
    contract.set_defaults(run=_run_contract)

    diff = commands.add_parser(
        "diff",
        help="compare a build with a baseline build",
        description=(
            "Compare CURRENT with BASELINE (JSON models or linker maps), print a summary, and "
            "write the HTML report and the diff payload as JSON when asked for.  Regions are "
            "matched by name; a region only one build declares is compared as added or removed."
        ),
    )
    diff.add_argument("baseline", metavar="BASELINE", help="the earlier build (" + _MODEL_HELP + ")")
    diff.add_argument("current", metavar="CURRENT", help="the build to judge (" + _MODEL_HELP + ")")
    diff.add_argument("--memory-regions", metavar="FILE", help=_MEMORY_REGIONS_HELP)
    diff.add_argument("--html", metavar="FILE", help="write the self-contained HTML report to FILE")
    diff.add_argument("--json", metavar="FILE", help="write the diff payload as JSON to FILE")
    diff.add_argument("--allow-partial", action="store_true", help=_PARTIAL_HELP)
    _add_category_option(diff)
    diff.set_defaults(run=_run_diff)

    demo = commands.add_parser(
        "demo",
        help="run contract and diff on the bundled sample builds",
        description=(
            "Compare the bundled current sample build with its bundled baseline and write "
            "contract.json, diff.html and diff.json to DIR."
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
