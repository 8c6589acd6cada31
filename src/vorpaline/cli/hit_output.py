"""How ``vorpaline search`` prints hits: grouped under file names on a terminal, one place per hit
line otherwise, or in the shapes editors and scripts read (``-l``, ``-c``, ``--vimgrep``, ``--json``)."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

from vorpaline.cli.common import PROG
from vorpaline.search import queries, snippets
from vorpaline.search.files import FilesNow

DEFAULT_TERMINAL_COLUMNS = 200
HEADING = "\033[1;35m"  # a file's name, as rg shows it
LINE_NUMBER = "\033[32m"


def wants_color(when: str, stream: Any, environ: os._Environ[str] | dict[str, str] | None = None) -> bool:
    """``--color``: always, never, or (auto) on a terminal unless NO_COLOR is set or TERM is dumb."""
    environ = os.environ if environ is None else environ
    if when != "auto":
        return when == "always"
    return environ.get("TERM") != "dumb" and snippets.use_color(stream, environ)


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class Printer:
    """What every shape of output shares: colour, the query's terms, cut lines, file names shown."""

    def __init__(self, args: argparse.Namespace, plan: Any, root: str, out: Any,
                 shown: Callable[[str], str] | None = None) -> None:
        terminal = _is_terminal(out)
        self.out = out
        self.color = wants_color(args.color, out)
        self.terms = queries.query_terms(queries.prepared_query(plan.ranked)) if plan.ranked else frozenset()
        self.max_columns = args.max_columns if args.max_columns is not None else (
            DEFAULT_TERMINAL_COLUMNS if terminal else 0)
        self.plan = plan
        self.root = root
        self._shown = shown or (lambda path: path)
        self._files = FilesNow(os.path.abspath(root), {}) if root else None

    def place(self, hit: Any, several_repositories: bool) -> str:
        place = self._shown(hit.path) if hit.path is not None else hit.id
        return snippets.printable(f"{hit.repository}:{place}" if several_repositories else str(place))

    def text(self, line: str) -> str:
        """A line as printed: safe for the terminal, cut at --max-columns, its matches bold."""
        shown = snippets.printable(line)
        cut = ""
        if self.max_columns and len(shown) > self.max_columns:
            cut = f" [... {len(shown) - self.max_columns} more characters]"
            shown = shown[:self.max_columns]
        return snippets.highlight(shown, self.terms, color=self.color) + cut

    def bold(self, text: str, start: str = snippets.BOLD) -> str:
        return f"{start}{text}{snippets.RESET}" if self.color else text

    def lines(self, hit: Any, before: int | None, after: int | None) -> list[tuple[int, str]]:
        """The (number, text) of the lines shown for a hit: its snippet, or with -A/-B/-C the lines
        around its line as the file holds them now."""
        if (before is not None or after is not None) and hit.path is not None and hit.line and self._files:
            first = max(1, hit.line - (before or 0))
            now = self._files.lines(hit.path, first, hit.line + (after or 0))
            if now is not None:
                return list(enumerate(now[0], first))
        return list(enumerate(hit.snippet.splitlines(), hit.snippet_line))

    def column(self, hit: Any, line: str) -> int:
        """The 1-based byte column where the hit's line first matches (a pattern, else a query term)."""
        start = 0
        regex = self.plan.content.regex if self.plan.content is not None else None
        match = regex.search(line) if regex is not None else None
        if match is not None:
            start = match.start()
        else:
            spans = snippets.matching_spans(line, self.terms) if self.terms else []
            start = spans[0][0] if spans else 0
        return len(line[:start].encode("utf-8", "surrogateescape")) + 1


def print_hits(hits: Sequence[Any], args: argparse.Namespace, plan: Any, root: str, out: Any = None,
               shown: Callable[[str], str] | None = None) -> None:
    """The hits as the options ask; ``root`` is where their files are read for context lines, and
    ``shown`` turns a path in the repository into the path printed (JSON keeps the former)."""
    out = out if out is not None else sys.stdout
    if args.json:
        for hit in hits:
            print(json.dumps(hit_record(hit), ensure_ascii=False), file=out)
        return
    printer = Printer(args, plan, root, out, shown)
    several = getattr(args, "store", None) is not None and args.repository is None \
        and len({hit.repository for hit in hits}) > 1
    if args.files_with_matches:
        for place in dict.fromkeys(printer.place(hit, several) for hit in hits):
            print(place, file=out)
    elif args.count:
        counts: dict[str, int] = {}
        for hit in hits:
            counts[printer.place(hit, several)] = counts.get(printer.place(hit, several), 0) + 1
        for place, count in counts.items():
            print(f"{place}:{count}", file=out)
    elif args.vimgrep:
        _print_vimgrep(hits, printer, several)
    else:
        before = args.before_context if args.before_context is not None else args.context
        after = args.after_context if args.after_context is not None else args.context
        grouped = args.heading if args.heading is not None else _is_terminal(out)
        (_print_grouped if grouped else _print_flat)(hits, printer, several, before, after)


def _print_vimgrep(hits: Sequence[Any], printer: Printer, several: bool) -> None:
    for hit in hits:
        lines = dict(printer.lines(hit, 0, 0))
        line = lines.get(hit.line, "")
        print(f"{printer.place(hit, several)}:{hit.line or hit.start_line}:{printer.column(hit, line)}:"
              f"{printer.text(line)}", file=printer.out)


def _stale_note(hit: Any) -> str:
    return f"  (changed since it was indexed: run '{PROG} index')" if hit.stale else ""


def _roles(hit: Any) -> str:
    return f"  [{', '.join(hit.roles)}]" if hit.roles else ""


def _print_flat(hits: Sequence[Any], printer: Printer, several: bool, before: int | None, after: int | None) -> None:
    """Each hit's place and score, then its lines numbered."""
    for number, hit in enumerate(hits):
        if number:
            print(file=printer.out)
        header = f"{printer.place(hit, several)}:{hit.line or hit.start_line}: {hit.score:.3f}{_roles(hit)}"
        print(printer.bold(header) + _stale_note(hit), file=printer.out)
        lines = printer.lines(hit, before, after)
        width = len(str(lines[-1][0])) if lines else 1
        for line_number, line in lines:
            print(f"{line_number:>{width}}: {printer.text(line)}".rstrip(), file=printer.out)


def _print_grouped(hits: Sequence[Any], printer: Printer, several: bool, before: int | None,
                   after: int | None) -> None:
    """rg's layout: each file's name once, then its hits in line order, the hit's own line marked
    ``N:`` and the lines around it ``N-``, hits apart marked by ``--``."""
    files: dict[str, list[Any]] = {}
    for hit in hits:
        files.setdefault(printer.place(hit, several), []).append(hit)
    for number, (place, file_hits) in enumerate(files.items()):
        if number:
            print(file=printer.out)
        best = file_hits[0]
        print(printer.bold(place, HEADING) + f"  {best.score:.3f}{_roles(best)}" + _stale_note(best),
              file=printer.out)
        for position, hit in enumerate(sorted(file_hits, key=lambda hit: hit.line or hit.start_line)):
            if position:
                print("--", file=printer.out)
            for line_number, line in printer.lines(hit, before, after):
                mark = ":" if line_number == hit.line else "-"
                print(f"{printer.bold(str(line_number), LINE_NUMBER)}{mark}{printer.text(line)}".rstrip(),
                      file=printer.out)


def hit_record(hit) -> dict:
    record = hit._asdict()
    if record["repository"] is None:  # a local index's hit: its repository is the one searched
        del record["repository"]
    # "stale": the file changed since it was indexed; the snippet shows its lines now
    record["roles"] = list(hit.roles)
    record["definitions"] = [definition._asdict() for definition in hit.definitions]
    return record
