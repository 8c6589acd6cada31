"""Where ``vorpaline grep`` searches and how it prints, as rg does: its paths, separators, colours and JSON."""

from __future__ import annotations

import argparse
import base64
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, BinaryIO

import orjson

from vorpaline.cli.common import INDEX_FOLDER, PROG, CliError, _holds_index, _nearest_repository_top
from vorpaline.search.grep import GrepFile, GrepLine, GrepResult, grep_repository, repository_prefixes

# rg's default colours, escape for escape.
PATH_COLOR, LINE_COLOR, MATCH_COLOR, RESET = b"\x1b[0m\x1b[35m", b"\x1b[0m\x1b[32m", b"\x1b[0m\x1b[1m\x1b[31m", b"\x1b[0m"


class Where:
    """The repository, its index (None without one), the paths searched and how each is shown."""

    def __init__(self, root: str, folder: str | None, operands: Sequence[str],
                 manifest: dict[str, Any] | None = None, table: Any = None) -> None:
        self.root = root
        self.folder = folder
        self._manifest = manifest
        self._table = table  # the file table's stamps and flags, when they stand for its entries
        self.started = time.perf_counter()
        try:
            if operands:
                self.prefixes: list[str] | None = repository_prefixes(root, operands)
                self._operands = list(zip(operands, self.prefixes))
            else:
                below = repository_prefixes(root, [os.curdir])[0]
                self.prefixes = [below] if below else None
                self._operands = [("", below)]
        except ValueError as error:
            raise CliError(str(error)) from None
        if self.prefixes is not None and "" in self.prefixes:
            self.prefixes = None
        self.one_file = len(operands) == 1 and os.path.isfile(operands[0])

    @classmethod
    def find(cls, index: str | None, operands: Sequence[str]) -> Where:
        if index is not None:
            manifest, table = _committed_manifest(index)
            return cls(manifest["root"], index, operands, manifest, table)
        here = os.getcwd()
        top = _nearest_repository_top(here) or here
        folder = os.path.join(top, INDEX_FOLDER)
        if not _holds_index(folder):
            no_index_notice(top)
            return cls(top, None, operands)
        manifest, table = _committed_manifest(folder)
        return cls(manifest["root"], folder, operands, manifest, table)

    def grep(self, patterns: list[str], options: dict[str, Any]) -> GrepResult:
        from vorpaline.search.arguments import check_grep

        if self.folder is None:
            return grep_repository(self.root, None, patterns, **check_grep(options))
        # The committed manifest read here, not through Index: a grep needs none of the ranking.
        from vorpaline.search.grep_state import request_part

        return grep_repository(self.root, request_part(os.path.abspath(self.folder), self._manifest, self._table),
                               patterns,
                               index_folder=os.path.abspath(self.folder), **check_grep(options))

    def in_operand_order(self, files: list[GrepFile]) -> list[GrepFile]:
        """rg searches its PATH operands one after the other, each in path order."""
        if len(self._operands) < 2:
            return files
        return sorted(files, key=lambda found: self._operand_of(found.path))

    def _operand_of(self, path: str) -> int:
        for number, (_, prefix) in enumerate(self._operands):
            if not prefix or path == prefix or path.startswith(prefix + "/"):
                return number
        return len(self._operands)

    def shown(self, path: str) -> str:
        """A repository path as rg prints it: below the operand that named it, as typed; with no operand,
        relative to the current folder."""
        for operand, prefix in self._operands:
            if not prefix:
                rest = path
            elif path == prefix:
                return operand
            elif path.startswith(prefix + "/"):
                rest = path[len(prefix) + 1:]
            else:
                continue
            return operand.rstrip("/") + "/" + rest if operand else rest
        return path


def no_index_notice(folder: str) -> None:
    if os.isatty(sys.stderr.fileno()):
        print(f"{PROG}: no index in {folder}: every file is read; '{PROG} index' makes this fast", file=sys.stderr)


def _committed_manifest(folder: str) -> tuple[dict[str, Any], Any]:
    """The index's manifest as last committed, its checksum checked, and its file table's stamps and
    flags when they tell a grep all it needs (else None, and the table's entries are in the manifest)."""
    from vorpaline.search.index_folder import MANIFEST, checked_manifest_body

    path = os.path.join(folder, MANIFEST)
    try:
        with open(path, "rb") as handle:
            manifest = orjson.loads(checked_manifest_body(path, handle.read()))
        table = None
        if isinstance(manifest, dict) and isinstance(manifest.get("table"), str) and "files" not in manifest:
            from vorpaline.search import file_table

            table_path = os.path.join(folder, os.path.basename(manifest["table"]))
            table = file_table.FileStamps(table_path)
            if table.flags_grep_documents:  # all a grep needs, without parsing the entries' JSON
                manifest["listing"] = file_table.read_listing(table_path)
            else:
                manifest.update(file_table.read(table_path))
                table = None
    except FileNotFoundError:
        raise CliError(f"no index in {folder}; create it with '{PROG} index'") from None
    except (OSError, ValueError) as error:  # IndexUnusable is a ValueError
        raise CliError(f"cannot read the index in {folder}: {error}") from None
    if not isinstance(manifest, dict) or manifest.get("root") is None \
            or table is None and not isinstance(manifest.get("files"), dict):
        raise CliError(f"the index in {folder} holds no repository's files")
    from vorpaline.search.grep_state import well_formed

    if not well_formed(manifest.get("grep")):
        raise CliError(f"the index in {folder} is damaged; run '{PROG} index --rebuild'")
    return manifest, table


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def wants_color(when: str, stream: Any, environ: Any = None) -> bool:
    environ = os.environ if environ is None else environ
    if when != "auto":
        return when == "always"
    return environ.get("TERM") != "dumb" and not environ.get("NO_COLOR") and _is_terminal(stream)


class GrepPrinter:
    """rg's standard output (headings or paths on each line, ``:`` for matches, ``-`` for context, ``--``
    between groups), ``-l``, ``-c``, ``-o``, ``--vimgrep`` and ``--json``."""

    def __init__(self, args: argparse.Namespace, where: Where, result: GrepResult, out: BinaryIO) -> None:
        terminal = _is_terminal(out)
        self.args, self.where, self.out = args, where, out
        self.result = GrepResult(where.in_operand_order(result.files), result.pattern, result.stats)
        self.color = wants_color(args.color, out)
        self.vimgrep = args.vimgrep
        self.line_numbers = args.line_number if args.line_number is not None else (terminal or self.vimgrep)
        self.with_filename = args.with_filename if args.with_filename is not None else not where.one_file
        self.heading = (args.heading if args.heading is not None else terminal) and self.with_filename \
            and not self.vimgrep
        self.column = args.column or self.vimgrep
        self.context = bool(result.files) and (args.context or args.before_context or args.after_context)

    def print_all(self) -> None:
        if self.args.json:
            return self._print_json()
        write = self.out.write
        for number, found in enumerate(self.result.files):
            path = self._path(found.path)
            if self.args.files_with_matches:
                write(path + b"\n")
            elif self.args.count:
                write((path + b":" if self.with_filename else b"") + str(found.count).encode() + b"\n")
            else:
                self._print_lines(found, path, first_file=number == 0)
        self.out.flush()

    def _path(self, path: str) -> bytes:
        shown = os.fsencode(self.where.shown(path))
        return PATH_COLOR + shown + RESET if self.color else shown

    def _print_lines(self, found: GrepFile, path: bytes, first_file: bool) -> None:
        write = self.out.write
        if self.heading:
            if not first_file:
                write(b"\n")
            write(path + b"\n")
        elif self.context and not first_file:
            write(b"--\n")
        previous = None
        for line in found.lines:
            if self.context and previous is not None and line.number != previous + 1:
                write(b"--\n")
            previous = line.number
            if self.args.only_matching or self.vimgrep:  # a line per match; context lines are not shown
                for start, end in line.submatches or ():
                    shown, at = (line.text[start:end], start) if self.args.only_matching else (_without_end(line.text), 0)
                    write(self._prefix(path, line, b":", start + 1) + self._text(shown, line, at) + b"\n")
                continue
            separator = b":" if line.is_match else b"-"
            column = line.submatches[0][0] + 1 if line.submatches else None
            write(self._prefix(path, line, separator, column) + self._text(_without_end(line.text), line, 0) + b"\n")

    def _prefix(self, path: bytes, line: GrepLine, separator: bytes, column: int | None) -> bytes:
        parts = []
        if self.with_filename and not self.heading:
            parts.append(path)
        if self.line_numbers:
            number = str(line.number).encode()
            parts.append(LINE_COLOR + number + RESET if self.color else number)
        if self.column and column is not None and line.is_match:
            parts.append(str(column).encode())
        return b"".join(part + separator for part in parts)

    def _text(self, text: bytes, line: GrepLine, start: int) -> bytes:
        """The text, its matches coloured; ``start`` is where the text begins in the line."""
        if not self.color or not line.submatches:
            return text
        pieces, at = [], 0
        for begin, end in line.submatches:
            begin, end = max(begin - start, 0), min(end - start, len(text))
            if end <= at or begin >= len(text):
                continue
            if begin >= at and end > begin:
                pieces += [text[at:begin], MATCH_COLOR, text[begin:end], RESET]
                at = end
        pieces.append(text[at:])
        return b"".join(pieces)

    # ------------------------------------------------------------------ JSON

    def _print_json(self) -> None:
        write = self.out.write
        totals = {"bytes_printed": 0, "bytes_searched": 0, "matched_lines": 0, "matches": 0}
        for found in self.result.files:
            path = _json_text(os.fsencode(self.where.shown(found.path)))
            printed = _json_line(write, {"type": "begin", "data": {"path": path}})
            matched_lines = matches = 0
            for line in found.lines:
                kind = "match" if line.is_match else "context"
                submatches = [{"match": _json_text(line.text[start:end]), "start": start, "end": end}
                              for start, end in line.submatches or ()]
                matched_lines += line.is_match
                matches += len(submatches)
                printed += _json_line(write, {"type": kind, "data": {
                    "path": path, "lines": _json_text(line.text), "line_number": line.number,
                    "absolute_offset": line.offset, "submatches": submatches}})
            searched = self._size_of(found.path)
            stats = {"elapsed": _elapsed(0.0), "searches": 1, "searches_with_match": 1, "bytes_searched": searched,
                     "bytes_printed": printed, "matched_lines": matched_lines, "matches": matches}
            _json_line(write, {"type": "end", "data": {"path": path, "binary_offset": None, "stats": stats}})
            for key, value in (("bytes_printed", printed), ("bytes_searched", searched),
                               ("matched_lines", matched_lines), ("matches", matches)):
                totals[key] += value
        elapsed = _elapsed(time.perf_counter() - self.where.started)
        stats = self.result.stats
        summary = {"bytes_printed": totals["bytes_printed"], "bytes_searched": totals["bytes_searched"],
                   "elapsed": elapsed, "matched_lines": totals["matched_lines"], "matches": totals["matches"],
                   "searches": stats.get("docs", 0) + stats.get("extra_read", 0),
                   "searches_with_match": len(self.result.files)}
        _json_line(write, {"data": {"elapsed_total": elapsed, "stats": summary}, "type": "summary"})
        self.out.flush()

    def _size_of(self, path: str) -> int:
        try:
            return os.lstat(os.path.join(self.where.root, path)).st_size
        except OSError:
            return 0


def _without_end(text: bytes) -> bytes:
    return text[:-1] if text.endswith(b"\n") else text


def _json_text(data: bytes) -> dict[str, str]:
    try:
        return {"text": data.decode("utf-8")}
    except UnicodeDecodeError:
        return {"bytes": base64.b64encode(data).decode()}


def _json_line(write: Callable[[bytes], Any], message: dict[str, Any]) -> int:
    data = orjson.dumps(message) + b"\n"
    write(data)
    return len(data)


def _elapsed(seconds: float) -> dict[str, Any]:
    whole = int(seconds)
    return {"secs": whole, "nanos": int((seconds - whole) * 1e9), "human": f"{seconds:.6f}s"}
