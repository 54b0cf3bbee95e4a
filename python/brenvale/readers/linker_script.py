"""Memory regions from the MEMORY command of a GNU ld linker script.

Maps of LLVM lld print no memory regions; the linker script that placed the
sections declares them, and Rust firmware keeps them in ``memory.x``, a
script that holds little more than its MEMORY command.  What is read::

    MEMORY
    {
      FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 512K
      RAM   (rwx) : org = 0x20000000, len = 128K - 4   /* a comment */
      CCM         : o = ORIGIN(RAM) + LENGTH(RAM), l = 0x10000
    }

* ``ORIGIN``/``org``/``o`` and ``LENGTH``/``len``/``l``, any case;
* numbers in decimal, hexadecimal (``0x``, or an ``h`` suffix) and octal
  (``o`` suffix), with ``K`` or ``M`` multipliers;
* ``+ - * /``, parentheses, unary minus, and ``ORIGIN(region)`` /
  ``LENGTH(region)`` of a region declared earlier;
* ``/* ... */`` comments anywhere.

The rest of the script is skipped.  ``INCLUDE`` is refused, since the regions
it would bring are not read; so is anything else in a MEMORY command.  A
region's category comes from its name and attributes as for GNU ld maps.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path

from ..model_io import INT_MAX
from ..records import MemoryRegion
from .rules import MapFormatError, decode_map_bytes, region_category

_TOKEN = re.compile(
    r"""
    (?P<space>[ \t\r\f\v]+)
    | (?P<newline>\n)
    | (?P<comment>/\*)
    | (?P<number>(?:0[xX][0-9A-Fa-f]+|[0-9][0-9A-Fa-f]*[hH]|[0-7]+[oO]|[0-9]+)[KkMm]?(?![\w$.]))
    | (?P<badnumber>[0-9][\w$.]*)
    | (?P<word>[A-Za-z_.$][\w.$\-]*)
    | (?P<punct>[{}():,=;+\-*/!])
    """,
    re.VERBOSE,
)
_ORIGIN_WORDS = frozenset({"origin", "org", "o"})
_LENGTH_WORDS = frozenset({"length", "len", "l"})


@dataclass(frozen=True, slots=True)
class _Token:
    kind: str
    text: str
    line: int


class _Script:
    """The tokens of a script, read from front to back."""

    def __init__(self, text: str, source: str) -> None:
        self.source = source
        self.tokens = self._tokenize(text)
        self.at = 0

    def _tokenize(self, text: str) -> list[_Token]:
        tokens = []
        line = 1
        offset = 0
        while offset < len(text):
            match = _TOKEN.match(text, offset)
            if match is None:
                # Outside MEMORY anything may appear (strings, other
                # operators); it is kept as a token of its own.
                tokens.append(_Token("other", text[offset], line))
                offset += 1
                continue
            kind = match.lastgroup or ""
            offset = match.end()
            if kind == "newline":
                line += 1
            elif kind == "comment":
                close = text.find("*/", offset)
                if close < 0:
                    raise self.error("a comment is never closed", line)
                line += text.count("\n", offset, close)
                offset = close + 2
            elif kind != "space":
                tokens.append(_Token(kind, match.group(), line))
        return tokens

    def error(self, problem: str, line: int | None = None) -> MapFormatError:
        if line is None:
            line = self.tokens[min(self.at, len(self.tokens) - 1)].line if self.tokens else 1
        return MapFormatError(self.source, problem, line=line)

    def peek(self) -> _Token | None:
        return self.tokens[self.at] if self.at < len(self.tokens) else None

    def take(self, what: str) -> _Token:
        token = self.peek()
        if token is None:
            last = self.tokens[-1].line if self.tokens else 1
            raise self.error(f"the script ends inside its MEMORY command (expected {what})", last)
        self.at += 1
        return token

    def expect(self, text: str) -> _Token:
        token = self.take(f"'{text}'")
        if token.text != text:
            raise self.error(f"expected '{text}' in MEMORY, found {token.text!r}", token.line)
        return token


def _number(token: _Token, script: _Script) -> int:
    text = token.text
    if len(text) > 40:
        raise script.error(f"number {text[:20]}... is too large", token.line)
    scale = 1
    if text[-1] in "Kk":
        scale, text = 1024, text[:-1]
    elif text[-1] in "Mm":
        scale, text = 1024 * 1024, text[:-1]
    if text[:2] in ("0x", "0X"):
        value = int(text[2:], 16)
    elif text[-1] in "hH":
        value = int(text[:-1], 16)
    elif text[-1] in "oO":
        value = int(text[:-1], 8)
    elif text.isdigit():
        value = int(text)
    else:
        raise script.error(f"bad number {token.text!r}", token.line)
    return value * scale


class _Expression:
    """Recursive descent over + - * / and parentheses, with ld's precedence."""

    def __init__(self, script: _Script, regions: dict[str, MemoryRegion]) -> None:
        self.script = script
        self.regions = regions
        self.depth = 0

    def parse(self) -> int:
        first = self.script.peek()
        value = self.sum()
        if not 0 <= value <= INT_MAX:
            raise self.script.error(f"value {value} is outside 0..{INT_MAX}", None if first is None else first.line)
        return value

    def sum(self) -> int:
        value = self.product()
        while (token := self.script.peek()) is not None and token.text in ("+", "-"):
            self.script.at += 1
            right = self.product()
            value = value + right if token.text == "+" else value - right
        return value

    def product(self) -> int:
        value = self.unary()
        while (token := self.script.peek()) is not None and token.text in ("*", "/"):
            self.script.at += 1
            right = self.unary()
            if token.text == "*":
                value *= right
            elif right == 0:
                raise self.script.error("division by zero", token.line)
            else:
                value = int(value / right)  # ld divides toward zero
            if abs(value) > INT_MAX:
                raise self.script.error(f"value is outside 0..{INT_MAX}", token.line)
        return value

    def unary(self) -> int:
        token = self.script.take("a number")
        if token.text in ("-", "+", "("):
            self.depth += 1
            if self.depth > 100:
                raise self.script.error("expression nested too deeply", token.line)
            if token.text == "(":
                value = self.sum()
                self.script.expect(")")
            else:
                value = self.unary()
            self.depth -= 1
            return -value if token.text == "-" else value
        if token.kind == "number":
            return _number(token, self.script)
        if token.kind == "badnumber":
            raise self.script.error(f"bad number {token.text[:40]!r}", token.line)
        word = token.text.lower()
        if token.kind == "word" and word in ("origin", "length"):
            self.script.expect("(")
            name = self.script.take("a region name")
            self.script.expect(")")
            region = self.regions.get(name.text)
            if region is None:
                raise self.script.error(f"{token.text}({name.text}): no such region declared before", name.line)
            if word == "origin":
                return region.start_address
            return region.size or 0
        raise self.script.error(f"unexpected {token.text!r} in a MEMORY expression", token.line)


def _attribute_text(script: _Script) -> str:
    parts: list[str] = []
    while True:
        token = script.take("')'")
        if token.text == ")":
            return "".join(parts)
        if token.kind not in ("word", "punct") or token.text != "!" and not token.text.isalpha():
            raise script.error(f"bad region attribute {token.text!r}", token.line)
        parts.append(token.text)


def _memory_body(script: _Script) -> list[MemoryRegion]:
    regions: dict[str, MemoryRegion] = {}
    script.expect("{")
    while True:
        token = script.take("'}'")
        if token.text == "}":
            return list(regions.values())
        if token.kind != "word":
            raise script.error(f"expected a region name in MEMORY, found {token.text!r}", token.line)
        name = token.text
        if name.upper() == "INCLUDE":
            raise script.error("INCLUDE is not supported; give the script that declares the regions")
        attributes = ""
        if (following := script.peek()) is not None and following.text == "(":
            script.at += 1
            attributes = _attribute_text(script)
        script.expect(":")
        values: dict[str, int] = {}
        for index in range(2):
            key = script.take("ORIGIN or LENGTH")
            word = key.text.lower()
            field = "origin" if word in _ORIGIN_WORDS else "length" if word in _LENGTH_WORDS else None
            if field is None or field in values:
                raise script.error(f"expected ORIGIN and LENGTH for region {name}, found {key.text!r}", key.line)
            script.expect("=")
            values[field] = _Expression(script, regions).parse()
            if index == 0:
                script.expect(",")
        if name in regions:
            raise script.error(f"region {name} is declared twice", token.line)
        origin, length = values["origin"], values["length"]
        end = origin + max(length, 1) - 1
        if end > INT_MAX:
            raise script.error(f"region {name} ends past {INT_MAX}", token.line)
        regions[name] = MemoryRegion(name, origin, end, length, region_category(name, attributes))


def parse_memory_regions(text: str, source: str = "<linker script>") -> list[MemoryRegion]:
    """The regions of every MEMORY command in *text*, in the order declared."""
    script = _Script(text, source)
    regions: list[MemoryRegion] = []
    seen_memory = False
    while (token := script.peek()) is not None:
        script.at += 1
        if token.kind != "word":
            continue
        if token.text == "INCLUDE":
            raise script.error("INCLUDE is not supported; give the script that declares the regions", token.line)
        if token.text == "MEMORY":
            seen_memory = True
            names = {region.name for region in regions}
            for region in _memory_body(script):
                if region.name in names:
                    raise script.error(f"region {region.name} is declared twice")
                regions.append(region)
    if not seen_memory:
        raise MapFormatError(source, "no MEMORY command in this linker script", line=1)
    return regions


def read_memory_regions(path: str | os.PathLike[str]) -> list[MemoryRegion]:
    """The memory regions declared by the linker script at *path*."""
    return parse_memory_regions(decode_map_bytes(Path(path).read_bytes()), os.fspath(path))


__all__ = ["parse_memory_regions", "read_memory_regions"]
