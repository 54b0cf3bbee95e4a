#!/usr/bin/env python3
"""Build the test firmware with Debian's GNU and LLVM toolchains and write,
for each build, its linker map and text dumps of its ELF file.

    python3 tests/firmware/build.py [--out DIR] [--keep-elf]

DIR defaults to tests/python/data/linkers.  For each build NAME it receives

    NAME.map                   the linker's map (-Wl,-Map=...)
    NAME.sections.txt          objdump -h -w: VMA, LMA, size, flags
    NAME.section-headers.txt   readelf -S -W: section types (PROGBITS, NOBITS)
    NAME.symbols.txt           readelf -s -W

The output is deterministic: sources are copied to a scratch directory and
every tool runs there with relative paths, debug paths are mapped to ".",
archives are made in deterministic mode and the tools' messages are pinned
to one language, so a second run writes the same bytes.

The French map needs the fr_FR.UTF-8 locale: the system's when it has one,
otherwise one compiled into the scratch directory with localedef.  Without
either, and for a toolchain that is missing, the build is skipped with a
note on standard error and the exit status is 1.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE.parent / "python" / "data" / "linkers"
INPUT_DIRS = ("src", "foo", "ld", "avr", "regions")

COMMON_CFLAGS = [
    "-Os", "-g", "-gno-record-gcc-switches", "-Wall", "-Wextra",
    "-ffunction-sections", "-fdata-sections",
]
CXXFLAGS = ["-fno-exceptions", "-fno-rtti", "-fno-threadsafe-statics", "-fno-asynchronous-unwind-tables"]
FIRMWARE_SOURCES = ["src/startup.c", "src/main.c", "src/strings.c", "src/data.c", "src/ramfunc.c", "src/shapes.cpp"]
FOO_SOURCES = ["foo/foo_math.c", "foo/foo_ring.c", "foo/foo_unused.c"]
AVR_SOURCES = ["avr/main.c", "src/strings.c"]
REGIONS_SOURCES = ["regions/startup.c", "regions/main.c"]


@dataclass
class Build:
    name: str
    cc: str  # compiler driver for C, C++ and the link
    cxx: str
    target_flags: list[str]
    link_flags: list[str]
    ar: list[str]
    objdump: str
    sources: list[str]
    # Where the map language is not English: (LANGUAGE, LC_ALL).
    language: tuple[str, str] | None = None
    extra_cflags: list[str] = field(default_factory=list)
    # avr-gcc 5 predates -ffile-prefix-map; -fdebug-prefix-map does its part.
    file_prefix_map: bool = True
    # Where the objects go under obj/NAME, what the archive is called and what
    # its members' names end with: paths with spaces and parentheses.
    object_subdir: str = ""
    archive_name: str = "libfoo.a"
    member_suffix: str = ""
    # Write the map with Windows line endings, as a build on Windows does.
    crlf: bool = False
    # Keep the linker's messages (its overflow figures) as NAME.link-messages.txt.
    link_messages: bool = False

    def tools(self) -> list[str]:
        cxx = [self.cxx] if any(source.endswith(".cpp") for source in self.sources) else []
        return [self.cc, *cxx, self.ar[0], self.objdump, "readelf"]


FREESTANDING = ["-ffreestanding", "-nostdlib"]
SCRIPT = ["-T", "ld/firmware.ld", "-Wl,--gc-sections"]

# The toolchains of most builds: GNU and LLVM for a Cortex-M4.
ARM_GNU: dict[str, Any] = dict(
    cc="arm-none-eabi-gcc", cxx="arm-none-eabi-g++",
    target_flags=["-mcpu=cortex-m4", "-mthumb", "-mfloat-abi=soft"] + FREESTANDING,
    extra_cflags=["-fno-tree-loop-distribute-patterns"],
    ar=["arm-none-eabi-ar", "rcsD"], objdump="arm-none-eabi-objdump",
)
ARM_LLD: dict[str, Any] = dict(
    cc="clang", cxx="clang++",
    target_flags=["--target=thumbv7em-none-eabi", "-mcpu=cortex-m4", "-mfloat-abi=soft"] + FREESTANDING,
    ar=["llvm-ar", "rcsD"], objdump="arm-none-eabi-objdump",
)
# Paths with spaces and parentheses, as real build trees have them.
AWKWARD_PATHS: dict[str, Any] = dict(
    object_subdir="build (debug)/src dir", archive_name="my lib (v2).a", member_suffix=" (v2) object", crlf=True,
)

BUILDS = [
    Build(
        name="gnu-ld-cortex-m4",
        **ARM_GNU,
        link_flags=SCRIPT + ["-Lld/cortex-m4"],
        sources=FIRMWARE_SOURCES,
    ),
    Build(
        name="gnu-ld-rv32imac",
        cc="riscv64-unknown-elf-gcc", cxx="riscv64-unknown-elf-g++",
        target_flags=["-march=rv32imac", "-mabi=ilp32", "-mcmodel=medany"] + FREESTANDING,
        extra_cflags=["-fno-tree-loop-distribute-patterns"],
        # .ramfunc makes RAM executable on purpose.
        link_flags=SCRIPT + ["-Lld/rv32imac", "-Wl,--no-warn-rwx-segments"],
        ar=["riscv64-unknown-elf-ar", "rcsD"], objdump="riscv64-unknown-elf-objdump",
        sources=FIRMWARE_SOURCES,
    ),
    Build(
        name="gnu-ld-atmega328p",
        cc="avr-gcc", cxx="avr-g++",
        target_flags=["-mmcu=atmega328p"],
        link_flags=["-Wl,--gc-sections"],
        ar=["avr-ar", "rcsD"], objdump="avr-objdump",
        sources=AVR_SOURCES, file_prefix_map=False,
    ),
    Build(
        name="gnu-ld-atmega328p-fr",
        cc="avr-gcc", cxx="avr-g++",
        target_flags=["-mmcu=atmega328p"],
        link_flags=["-Wl,--gc-sections"],
        ar=["avr-ar", "rcsD"], objdump="avr-objdump",
        sources=AVR_SOURCES, file_prefix_map=False,
        language=("fr", "fr_FR.UTF-8"),
    ),
    Build(
        name="lld-cortex-m4",
        **ARM_LLD,
        link_flags=SCRIPT + ["-Lld/cortex-m4", "-fuse-ld=lld"],
        sources=FIRMWARE_SOURCES,
    ),
    Build(
        name="regions-gnu-ld-cortex-m4",
        cc="arm-none-eabi-gcc", cxx="arm-none-eabi-g++",
        target_flags=["-mcpu=cortex-m4", "-mthumb", "-mfloat-abi=soft"] + FREESTANDING,
        extra_cflags=["-fno-tree-loop-distribute-patterns"],
        # The pool is referenced by nothing, but kept.
        link_flags=["-T", "ld/stm32f4-regions.ld", "-Wl,--gc-sections", "-Wl,-u,sram2_pool"],
        ar=["arm-none-eabi-ar", "rcsD"], objdump="arm-none-eabi-objdump",
        sources=REGIONS_SOURCES + ["regions/orphan_pool.c"],
    ),
    Build(
        name="regions-gnu-ld-cortex-m3-legacy",
        cc="arm-none-eabi-gcc", cxx="arm-none-eabi-g++",
        target_flags=["-mcpu=cortex-m3", "-mthumb", "-mfloat-abi=soft"] + FREESTANDING,
        extra_cflags=["-fno-tree-loop-distribute-patterns"],
        link_flags=["-T", "ld/lpc-legacy.ld", "-Wl,--gc-sections"],
        ar=["arm-none-eabi-ar", "rcsD"], objdump="arm-none-eabi-objdump",
        sources=REGIONS_SOURCES,
    ),
    Build(
        name="regions-lld-rv32imac",
        cc="clang", cxx="clang++",
        target_flags=["--target=riscv32-unknown-elf", "-march=rv32imac", "-mabi=ilp32", "-mcmodel=medany"]
        + FREESTANDING,
        # The stack size given on the command line, as many builds do; the
        # thread-local routine is called by nothing but kept.
        link_flags=["-T", "ld/rv32-tls.ld", "-Wl,--gc-sections", "-fuse-ld=lld",
                    "-Wl,--defsym=__stack_size=0x400", "-Wl,-u,tls_touch"],
        ar=["llvm-ar", "rcsD"], objdump="riscv64-unknown-elf-objdump",
        sources=REGIONS_SOURCES + ["regions/tls.c"],
    ),
    Build(
        name="regions-gnu-ld-cortex-m4-stray-load",
        **ARM_GNU,
        link_flags=["-T", "ld/stray-load.ld", "-Wl,--gc-sections"],
        sources=REGIONS_SOURCES,
    ),
    Build(
        name="regions-lld-cortex-m4-stray-load",
        **ARM_LLD,
        link_flags=["-T", "ld/stray-load.ld", "-Wl,--gc-sections", "-fuse-ld=lld"],
        sources=REGIONS_SOURCES,
    ),
    Build(
        # ld writes the map and the ELF of a build that does not fit; lld 14
        # writes neither, whatever it is told.
        name="regions-gnu-ld-cortex-m4-overflow",
        **ARM_GNU,
        link_flags=["-T", "ld/overflow.ld", "-Wl,--gc-sections", "-Wl,--noinhibit-exec"],
        sources=REGIONS_SOURCES, link_messages=True,
    ),
    Build(
        name="regions-gnu-ld-cortex-m4-paths",
        **ARM_GNU,
        link_flags=["-T", "ld/stm32f4-regions.ld", "-Wl,--gc-sections", "-Wl,-u,sram2_pool"],
        sources=REGIONS_SOURCES + ["regions/orphan_pool.c"],
        **AWKWARD_PATHS,
    ),
    Build(
        name="regions-lld-cortex-m4-paths",
        **ARM_LLD,
        link_flags=["-T", "ld/stray-load.ld", "-Wl,--gc-sections", "-fuse-ld=lld"],
        sources=REGIONS_SOURCES,
        **AWKWARD_PATHS,
    ),
    Build(
        name="regions-gnu-ld-atmega328p-fr-paths",
        cc="avr-gcc", cxx="avr-g++",
        target_flags=["-mmcu=atmega328p"],
        link_flags=["-Wl,--gc-sections"],
        ar=["avr-ar", "rcsD"], objdump="avr-objdump",
        sources=AVR_SOURCES, file_prefix_map=False,
        language=("fr", "fr_FR.UTF-8"),
        **AWKWARD_PATHS,
    ),
    Build(
        name="lld-rv32imac",
        cc="clang", cxx="clang++",
        target_flags=["--target=riscv32-unknown-elf", "-march=rv32imac", "-mabi=ilp32", "-mcmodel=medany"]
        + FREESTANDING,
        link_flags=SCRIPT + ["-Lld/rv32imac", "-fuse-ld=lld"],
        ar=["llvm-ar", "rcsD"], objdump="riscv64-unknown-elf-objdump",
        sources=FIRMWARE_SOURCES,
    ),
]


def missing_tools(build: Build) -> list[str]:
    return [tool for tool in build.tools() if shutil.which(tool) is None]


def run(
    command: list[str], cwd: Path, env: dict[str, str], stdout: Path | None = None, messages: Path | None = None
) -> None:
    result = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"build.py: {' '.join(command)} failed:\n{result.stderr.strip()}")
    if messages is not None:
        # Without the linker's own path, which differs between installations.
        lines = [re.sub(r"^\S*ld(?:\.lld)?: ", "ld: ", line) for line in result.stderr.splitlines()]
        messages.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    elif result.stderr:
        sys.stderr.write(result.stderr)  # warnings: the sources are meant to build cleanly
    if stdout is not None:
        stdout.write_text(result.stdout, encoding="utf-8")


def base_environment() -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if not key.startswith(("LC_", "LANG"))}
    env["LC_ALL"] = "C"
    env.pop("LOCPATH", None)
    # A caller's own flags would change the outputs.
    for key in ("CFLAGS", "CXXFLAGS", "LDFLAGS", "CPATH", "C_INCLUDE_PATH", "LIBRARY_PATH", "GCC_EXEC_PREFIX"):
        env.pop(key, None)
    return env


def locale_environment(work: Path, language: str, locale_name: str) -> dict[str, str] | None:
    """Environment that makes the tools speak *language*, or None when the
    locale cannot be had."""
    env = base_environment()
    env["LC_ALL"] = locale_name
    env["LANGUAGE"] = language
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    wanted = locale_name.lower().replace("utf-8", "utf8")
    if wanted in (name.lower() for name in listed):
        return env
    if shutil.which("localedef") is None:
        return None
    base, _, charmap = locale_name.partition(".")
    private = work / "locale"
    private.mkdir(exist_ok=True)
    made = subprocess.run(
        ["localedef", "-i", base, "-f", charmap or "UTF-8", str(private / locale_name)],
        capture_output=True, text=True,
    )
    if not (private / locale_name).is_dir():
        print(f"build.py: localedef could not make {locale_name}: {made.stderr.strip()}", file=sys.stderr)
        return None
    env["LOCPATH"] = str(private)
    return env


def build_one(build: Build, work: Path, out: Path, keep_elf: bool) -> bool:
    env = base_environment()
    link_env = env
    if build.language is not None:
        language_env = locale_environment(work, *build.language)
        if language_env is None:
            print(f"build.py: skipping {build.name}: locale {build.language[1]} not available", file=sys.stderr)
            return False
        link_env = language_env
    prefix_map = [f"-fdebug-prefix-map={work}=."]
    if build.file_prefix_map:
        prefix_map.insert(0, f"-ffile-prefix-map={work}=.")
    obj_dir = Path("obj") / build.name / build.object_subdir
    (work / obj_dir).mkdir(parents=True)

    def compile_source(source: str, suffix: str = "") -> str:
        obj = str(obj_dir / (Path(source).stem + suffix + ".o"))
        driver = build.cxx if source.endswith(".cpp") else build.cc
        flags = COMMON_CFLAGS + build.extra_cflags + build.target_flags + prefix_map
        if source.endswith(".cpp"):
            flags = flags + CXXFLAGS
        run([driver, *flags, "-c", source, "-o", obj], work, env)
        return obj

    objects = [compile_source(source) for source in build.sources]
    members = [compile_source(source, build.member_suffix) for source in FOO_SOURCES]
    archive = str(obj_dir / build.archive_name)
    # With bare member names: ar keeps only the last part of a path.
    run([*build.ar, build.archive_name, *(Path(member).name for member in members)], work / obj_dir, env)

    elf = obj_dir / f"{build.name}.elf"
    map_name = f"{build.name}.map"
    run(
        [build.cc, *build.target_flags, *build.link_flags, f"-Wl,-Map={map_name}",
         "-o", str(elf), *objects, archive],
        work, link_env, messages=out / f"{build.name}.link-messages.txt" if build.link_messages else None,
    )
    if build.crlf:
        (out / map_name).write_bytes((work / map_name).read_bytes().replace(b"\n", b"\r\n"))
    else:
        shutil.copyfile(work / map_name, out / map_name)
    run([build.objdump, "-h", "-w", str(elf)], work, env, out / f"{build.name}.sections.txt")
    run(["readelf", "-S", "-W", str(elf)], work, env, out / f"{build.name}.section-headers.txt")
    run(["readelf", "-s", "-W", str(elf)], work, env, out / f"{build.name}.symbols.txt")
    if keep_elf:
        shutil.copyfile(work / elf, out / f"{build.name}.elf")
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Build the linker test corpus.")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output directory (default: %(default)s)")
    parser.add_argument("--keep-elf", action="store_true", help="also copy the ELF files (not committed)")
    parser.add_argument("builds", nargs="*", help="build names (default: all)")
    args = parser.parse_args(argv)
    chosen = [b for b in BUILDS if not args.builds or b.name in args.builds]
    unknown = set(args.builds) - {b.name for b in BUILDS}
    if unknown:
        parser.error(f"unknown build(s): {', '.join(sorted(unknown))}")
    args.out.mkdir(parents=True, exist_ok=True)
    out = args.out.resolve()
    complete = True
    with tempfile.TemporaryDirectory(prefix="firmware-") as scratch:
        work = Path(scratch)
        for name in INPUT_DIRS:
            shutil.copytree(HERE / name, work / name)
        for build in chosen:
            absent = missing_tools(build)
            if absent:
                print(f"build.py: skipping {build.name}: not installed: {', '.join(absent)}", file=sys.stderr)
                complete = False
                continue
            complete = build_one(build, work, out, args.keep_elf) and complete
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
