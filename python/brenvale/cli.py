"""Command line: ``brenvale COMMAND ...`` (also ``python -m brenvale``).

Commands:

* ``contract MODEL [--baseline MODEL] [--sankey] [--graph] [-o FILE]``: the
  visualization contract as JSON;
* ``diff BASELINE CURRENT [--html FILE] [--json FILE] [--markdown FILE] [--csv FILE]
  [--budget FILE]``: the console summary of a build comparison, and the
  reports when asked for;
* ``check CURRENT [--baseline MODEL] [--budget FILE] [--strict] [--markdown FILE]
  [--csv FILE]``: judge a build against its size budget and whether its
  regions fit;
* ``view INPUT [-o FILE] [--baseline MODEL] [--sankey] [--graph]``: the layout
  page, a self-contained HTML drawing of the contract of a build (or of a
  contract JSON file);
* ``demo [--out DIR]``: all of them on the bundled baseline/current sample pair.

A MODEL is a JSON build model or a GNU ld, armlink, lld or IAR map file, told
apart by content; "-" reads it from standard input.  ``--memory-regions FILE``
gives lld maps the regions of their linker script.  A map that is cut short or
damaged is refused unless ``--allow-partial`` is given; then it is read as far
as it goes, with a warning on standard error.

Exit status: 0 on success, 2 for a usage error (argparse), 1 for input that
cannot be used (unreadable, malformed, cut or damaged model, map or budget
file, unwritable output, compiled module missing), reported as
one line on standard error, and 3 (``budget.EXIT_BUDGET_FAILED``) when
``check`` or ``diff`` finds a region of the current build overflowing or a
budget limit exceeded (or, with --strict, a warning level).  Output files are
written only when everything succeeded, each through a temporary file renamed
into place; a failed budget still writes its reports.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from .budget import EXIT_BUDGET_FAILED, Budget, BudgetError, Overflow, Verdict
from .compare import Comparison
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


STDIN = "-"
_STDIN_NAME = "<stdin>"


def _load(path: str, args: argparse.Namespace | None = None) -> BuildInput:
    if path == STDIN:
        return _load_stdin(args)
    from .pipeline import load_input

    _refuse_empty(path)
    try:
        build = load_input(
            path,
            allow_partial=bool(getattr(args, "allow_partial", False)),
            region_categories=getattr(args, "region_categories", None),
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
        elif issue.id.startswith(_UNCOUNTED_ISSUES):
            # Bytes the region figures leave out: every command's figures are short by them.
            where = "" if issue.description.startswith(path) else f"{_display_path(path)}: "
            print(f"{PROG}: warning: {where}{issue.description}", file=sys.stderr)
    return build


# The reader's findings on a map read with --allow-partial.
_PARTIAL_READ_ISSUES = ("map:truncated", "map:damaged:")
# The reader's findings of sections or load images that lie in no memory region.
_UNCOUNTED_ISSUES = ("map:unplaced:", "map:unplaced-load:")


def _refuse_empty(path: str) -> None:
    # An empty file would otherwise be reported as JSON that lacks a value.
    # Only regular files: a pipe (process substitution) has no size yet.
    try:
        details = os.stat(path)
    except OSError:
        return  # the loader reports it
    if os.path.isfile(path) and details.st_size == 0:
        raise CommandError(f"{path}: the file is empty")


def _load_stdin(args: argparse.Namespace | None) -> BuildInput:
    """A build read from standard input, spooled to a file for the loaders that read files."""
    data = sys.stdin.buffer.read()
    if not data:
        raise CommandError(f"{_STDIN_NAME}: standard input is empty")
    descriptor, spool = tempfile.mkstemp(prefix="brenvale-stdin-")
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(data)
        try:
            return _load(spool, args)
        except CommandError as error:
            raise CommandError(str(error).replace(spool, _STDIN_NAME)) from None
    finally:
        os.unlink(spool)


def _display_path(path: str) -> str:
    return _STDIN_NAME if path == STDIN else path


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

    given = getattr(args, "checked_region_categories", args.region_categories) or {}
    problem = unknown_override_names(given, *(b.model.memory_regions for b in builds))
    if problem is not None:
        raise CommandError(problem)


def _run_contract(args: argparse.Namespace) -> int:
    build = _load(args.model, args)
    _check_category_names(args, build)
    regressions = None
    if args.baseline is not None:
        _, regressions = _compare(_load(args.baseline, args), build, args.baseline, args.model)
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
        build = _load(args.input, args)
        _check_category_names(args, build)
        regressions = None
        if args.baseline is not None:
            _, regressions = _compare(_load(args.baseline, args), build, args.baseline, args.input)
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


def _region_change_lines(payload: dict[str, Any]) -> list[str]:
    """Lines naming the regions that only one of the two builds declares."""
    lines = []
    for status, label in (("added", "Regions added in the current build"), ("removed", "Regions removed since the baseline")):
        names = [row["region"] for row in payload.get("regions", []) if row.get("status") == status]
        if names:
            lines.append(f"{label}: {', '.join(names)}")
    return lines


def _run_diff(args: argparse.Namespace) -> int:
    _one_stdin(args, [args.baseline, args.current], [args.markdown, args.csv])
    budget = _read_budget(args)
    baseline, current = _load(args.baseline, args), _load(args.current, args)
    _check_category_names(args, baseline, current)
    comparison = _comparison(baseline, current, _display_path(args.baseline), _display_path(args.current))
    payload = _payload(comparison)
    budget_verdicts = _verdicts(budget, current, comparison, has_baseline=True) if budget is not None else None
    overflows = _overflows(current)
    outputs = _diff_outputs(payload, args.html, args.json)
    reports = _ci_outputs(args, payload, comparison, overflows, budget_verdicts)
    files = outputs + [output for output in reports if output[1] != STDIN]
    summary = _summary(payload, {name: path for name, path, _ in files})
    _write([(path, text) for _, path, text in files])
    # With a report on standard output, the summary goes to standard error so
    # that the report can be piped or redirected on its own.
    console = sys.stderr if any(path == STDIN for _, path, _ in reports) else sys.stdout
    print(summary, file=console)
    for line in _region_change_lines(payload):
        print(line, file=console)
    _print_overflows(overflows, console)
    if budget_verdicts is not None:
        _print_verdicts(budget_verdicts, console, strict=args.strict)
    _print_stdin_report(reports)
    return _outcome(overflows, budget_verdicts, strict=args.strict)


def _one_stdin(args: argparse.Namespace, inputs: Sequence[str | None], outputs: Sequence[str | None]) -> None:
    if sum(1 for path in inputs if path == STDIN) > 1:
        args.parser.error("only one input can be read from standard input ('-')")
    if sum(1 for path in outputs if path == STDIN) > 1:
        args.parser.error("only one report can be written to standard output ('-')")


def _comparison(baseline: BuildInput, current: BuildInput, baseline_path: str, current_path: str) -> Comparison:
    from .compare import compare_builds

    return compare_builds(current, baseline, current_path=current_path, baseline_path=baseline_path)


def _payload(comparison: Comparison) -> dict[str, Any]:
    from .compare import diff_payload

    with _compiled_modules():
        return diff_payload(comparison)


def _overflows(build: BuildInput) -> list[Overflow]:
    from .budget import region_overflows

    return region_overflows(build)


def _read_budget(args: argparse.Namespace) -> Budget | None:
    """The budget file of --budget, read before the builds: the region
    categories it states apply to them (those given on the command line win)."""
    from .budget import load_budget

    path = args.budget
    if path is None:
        return None
    try:
        budget = load_budget(path)
    except BudgetError as error:
        raise CommandError(str(error)) from None
    except IsADirectoryError:
        raise CommandError(f"cannot read {path}: it is a directory") from None
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    if budget.categories:
        # Names from the command line must name a region; the budget's, like
        # its limits, may name one the build lacks.
        args.checked_region_categories = args.region_categories or {}
        args.region_categories = {**budget.categories, **args.checked_region_categories}
    return budget


def _verdicts(budget: Budget, current: BuildInput, comparison: Comparison, *, has_baseline: bool) -> list[Verdict]:
    from .budget import check_build

    return check_build(current, budget, comparison, has_baseline=has_baseline)


def _ci_outputs(
    args: argparse.Namespace,
    payload: dict[str, Any],
    comparison: Comparison,
    overflows: Sequence[Overflow],
    verdicts: Sequence[Verdict] | None,
) -> list[tuple[str, str, str]]:
    """(name, path, text) of the Markdown and CSV reports asked for; path "-" is standard output."""
    outputs = []
    if getattr(args, "markdown", None) is not None:
        from .markdown_report import render_markdown

        outputs.append(("markdown", args.markdown, render_markdown(payload, overflows=overflows, verdicts=verdicts)))
    if getattr(args, "csv", None) is not None:
        from .csv_report import render_csv

        outputs.append(("csv", args.csv, render_csv(comparison)))
    return outputs


def _print_stdin_report(reports: Sequence[tuple[str, str, str]]) -> None:
    for _, path, text in reports:
        if path == STDIN:
            sys.stdout.write(text)
            sys.stdout.flush()


def _print_overflows(overflows: Sequence[Overflow], stream: Any) -> None:
    if not overflows:
        return
    print("Overflowing Regions:", file=stream)
    for overflow in overflows:
        print(
            f"- {overflow.region}: {overflow.used_bytes} B used of {overflow.size_bytes} B, "
            f"{overflow.excess_bytes} B over",
            file=stream,
        )


def _print_verdicts(verdicts: Sequence[Verdict], stream: Any, *, strict: bool) -> None:
    from .budget import describe_counts, exit_status, render_verdicts

    print(render_verdicts(verdicts), file=stream)
    outcome = "FAILED" if exit_status(verdicts, strict=strict) else "passed"
    print(f"Budget {outcome}: {describe_counts(verdicts)}", file=stream)


def _outcome(overflows: Sequence[Overflow], verdicts: Sequence[Verdict] | None, *, strict: bool) -> int:
    from .budget import exit_status

    if overflows:
        return EXIT_BUDGET_FAILED
    return exit_status(verdicts or [], strict=strict)


def _run_check(args: argparse.Namespace) -> int:
    _one_stdin(args, [args.current, args.baseline], [args.markdown, args.csv])
    if args.baseline is None and (args.markdown is not None or args.csv is not None):
        args.parser.error("--markdown and --csv compare with a baseline: give --baseline")
    budget = _read_budget(args)
    current = _load(args.current, args)
    baseline = _load(args.baseline, args) if args.baseline is not None else None
    _check_category_names(args, current, *([baseline] if baseline is not None else []))
    current_path = _display_path(args.current)
    if baseline is None:
        # The build against itself gives every entity's size; growth is skipped.
        comparison = _comparison(current, current, current_path, current_path)
    else:
        comparison = _comparison(baseline, current, _display_path(args.baseline), current_path)
    if budget is not None:
        found = _verdicts(budget, current, comparison, has_baseline=baseline is not None)
    else:
        from .budget import check_build

        found = check_build(current, None, comparison, has_baseline=baseline is not None)
    reports: list[tuple[str, str, str]] = []
    if baseline is not None and (args.markdown is not None or args.csv is not None):
        reports = _ci_outputs(args, _payload(comparison), comparison, _overflows(current), found)
    _write([(path, text) for _, path, text in reports if path != STDIN])
    console = sys.stderr if any(path == STDIN for _, path, _ in reports) else sys.stdout
    _print_verdicts(found, console, strict=args.strict)
    written = [(name, path) for name, path, _ in reports if path != STDIN]
    if written:
        print("Check Outputs:", file=console)
    for name, path in written:
        print(f"- {name}: {path}", file=console)
    _print_stdin_report(reports)
    from .budget import exit_status

    return exit_status(found, strict=args.strict)


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


MAX_INDENT = 16


def _indent(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= MAX_INDENT:
        raise argparse.ArgumentTypeError(f"must be from 0 to {MAX_INDENT}: {value}")
    return value


_FORMATS = "a JSON build model, a GNU ld map, an armlink map, an LLVM lld map or an IAR ILINK map"
_MODEL_HELP = f"build: {_FORMATS}, told apart by content; '-' reads standard input"

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


_EXIT_STATUSES = (
    "exit status: 0 when every region fits and every limit holds (warnings too, unless --strict); "
    f"{EXIT_BUDGET_FAILED} when a region of the current build overflows or a limit is exceeded "
    "(with --strict also a warning level); 1 for input that cannot be used (unreadable, malformed, "
    "cut or damaged build or budget file, unwritable output); 2 for a usage error."
)

_BUDGET_FORMAT = """budget file (TOML): one table per region ([region.NAME]), region category ([category.flash],
[category.ram], [category.other]), section ([section.".text"]) or component ([component.libc]),
each with any of:
  category = "flash"    (regions only) what the region is: flash, ram or other; wins over the
                        chip's known memory map and any guess; --region-category wins over it
  max_used = "90%"      hard ceiling on the bytes used (bytes, or percent of the region)
  warn_used = "80%"     warning level below it
  max_growth = 4096     hard ceiling on growth against --baseline (bytes or percent)
  warn_growth = 1024    warning level for growth
A percentage is of the region's size (for a section: of the region it runs in; for a
component's growth: of its size in the baseline; a component's used limits take bytes).
Every region is also checked for overflow, with or without a budget.
"""


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Presentation back end of the Brenvale firmware memory-layout analyser.  Every command "
            f"reads builds as {_FORMATS}, told apart by content."
        ),
        epilog="Run 'brenvale COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    contract = commands.add_parser(
        "contract",
        help="build the visualization contract of a build",
        description=(
            f"Read a build ({_FORMATS}), compute region usage, padding waste "
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
        "--indent", type=_indent, default=None, metavar="N", help=f"indent the JSON by N spaces (0 to {MAX_INDENT})"
    )
    _add_input_options(contract)
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
    _add_input_options(view)
    view.set_defaults(run=_run_view)

    diff = commands.add_parser(
        "diff",
        help="compare a build with a baseline build",
        description=(
            f"Compare CURRENT with BASELINE (each {_FORMATS}), print a summary and each "
            "overflowing region of CURRENT, and write the HTML report, the diff payload as JSON, a "
            "Markdown report for a pull request and a CSV table when asked for.  Regions are matched "
            "by name; a region only one build declares is compared as added or removed."
        ),
        epilog=_EXIT_STATUSES,
    )
    diff.add_argument("baseline", metavar="BASELINE", help="the earlier build (" + _MODEL_HELP + ")")
    diff.add_argument("current", metavar="CURRENT", help="the build to judge (" + _MODEL_HELP + ")")
    diff.add_argument("--html", metavar="FILE", help="write the self-contained HTML report to FILE")
    diff.add_argument("--json", metavar="FILE", help="write the diff payload as JSON to FILE")
    _add_report_options(diff)
    diff.add_argument(
        "--budget", metavar="FILE", help="judge CURRENT against the size budget in FILE (TOML; see 'brenvale check --help')"
    )
    diff.add_argument("--strict", action="store_true", help="with --budget, exit 3 on warnings too")
    _add_input_options(diff)
    diff.set_defaults(run=_run_diff, parser=diff)
    _add_check_parser(commands)

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


def _add_input_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--memory-regions", metavar="FILE", help=_MEMORY_REGIONS_HELP)
    command.add_argument("--allow-partial", action="store_true", help=_PARTIAL_HELP)
    _add_category_option(command)


def _add_report_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--markdown",
        metavar="FILE",
        help="write a GitHub-flavoured Markdown report (for a pull-request comment or $GITHUB_STEP_SUMMARY) "
        "to FILE, '-' for standard output",
    )
    command.add_argument(
        "--csv", metavar="FILE", help="write one CSV row per compared entity to FILE, '-' for standard output"
    )


def _add_check_parser(commands: Any) -> None:
    check = commands.add_parser(
        "check",
        help="check a build against its size budget",
        description=(
            f"Judge CURRENT ({_FORMATS}) against a size budget: whether every region fits, and each "
            "limit of the budget file, against BASELINE for growth.  Prints one line per check with "
            "the measured figure, the limit and the verdict."
        ),
        epilog=_BUDGET_FORMAT + "\n" + _EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    check.add_argument("current", metavar="CURRENT", help="the build to judge (" + _MODEL_HELP + ")")
    check.add_argument(
        "--baseline", metavar="MODEL", help="the earlier build, for growth limits and reports (" + _MODEL_HELP + ")"
    )
    check.add_argument("--budget", metavar="FILE", help="the budget file (TOML, described below)")
    check.add_argument("--strict", action="store_true", help="exit 3 on warnings too")
    _add_report_options(check)
    _add_input_options(check)
    check.set_defaults(run=_run_check, parser=check)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except CommandError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1


__all__ = ["CommandError", "build_parser", "main"]
