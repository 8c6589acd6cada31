"""Command line: ``python -m vorpaline embed ...``, ``files ...`` and ``demo``."""

import argparse
import io
import itertools
import json
import os
import sys
from collections.abc import Iterable, Iterator

from vorpaline import __version__

PROG = "vorpaline"
EMBEDDING_KEYS = ("indices", "values", "truncated", "original_chars", "used_chars")
CHUNK_SIZE = 256  # texts per core call: output starts early and memory stays bounded on long input
PREVIEW_CHARS = 60
DEFAULT_WAIT = 600.0  # seconds an update waits for another one: long enough for a big build, never forever

SAMPLES = (
    ("Python", (
        "def load_user_profile(user_id: int) -> UserProfile:\n"
        "    cached = profile_cache.get(user_id)\n"
        "    if cached is None:\n"
        "        cached = fetch_profile_from_db(user_id)\n"
        "    return cached\n"
    )),
    ("C++", (
        "template <typename T>\n"
        "std::optional<T> RingBuffer<T>::tryPop() {\n"
        "    if (readIndex_ == writeIndex_) return std::nullopt;\n"
        "    T value = std::move(slots_[readIndex_]);\n"
        "    readIndex_ = (readIndex_ + 1) % slots_.size();\n"
        "    return value;\n"
        "}\n"
    )),
    ("prose", (
        "Sparse retrieval scores a document by the query terms it shares, "
        "weighting rare terms above common ones, so an exact identifier or an "
        "unusual word finds its document even where dense embeddings blur it."
    )),
    ("Russian", "Быстрая бурая лиса перепрыгивает через ленивую собаку, а собака спит дальше."),
)


class CliError(Exception):
    """A failure reported to the user as one line, without a traceback."""

    exit_status = 1


class UsageError(CliError):
    exit_status = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # argparse would print usage and exit; main reports it instead
        raise UsageError(f"{message} (see '{PROG} --help')")


# --- the embedding service -----------------------------------------------------------------------

def _service():
    """The shared embedding service; its profile is the one every text here is embedded with."""
    try:
        from vorpaline.sparse import get_sparse_service
    except ImportError as exc:
        raise CliError(f"cannot import vorpaline.sparse ({exc}); build it with 'make build'") from None
    return get_sparse_service()


def _core():
    # The service's module holds the core it embeds with.
    import vorpaline.sparse

    return vorpaline.sparse.vorpaline_core_py


def _profile_json() -> str:
    return _service()._profile_json


def _decode_reply(reply_text: str, what: str) -> dict:
    try:
        reply = json.loads(reply_text)
    except (TypeError, ValueError) as exc:
        raise CliError(f"the core's {what} reply is not JSON text: {exc}") from None
    if not isinstance(reply, dict):
        raise CliError(f"the core's {what} reply is not a JSON object")
    return reply


def _embed(texts: list[str]) -> list[dict]:
    """Embed texts with one batch call of the shared service: one dict with EMBEDDING_KEYS per text, in order.

    The service refuses a reply that does not hold one embedding per text, or whose
    indices and values do not pair up, so output line N always belongs to input N.
    """
    try:
        records = _service().embed_batch(texts)
    except json.JSONDecodeError as exc:
        raise CliError(f"the core's batch reply is not JSON text: {exc}") from None
    except KeyError as exc:
        raise CliError(f"the core's batch reply has no member {exc}") from None
    return [{key: getattr(record, key) for key in EMBEDDING_KEYS} for record in records]


def _explain(text: str) -> dict:
    reply = _decode_reply(_core().sparse_explain(text, _profile_json()), "explain")
    tokens = reply.get("tokens")
    if not isinstance(tokens, list) or not all(
        isinstance(token, dict) and all(key in token for key in ("token", "index", "value")) for token in tokens
    ):
        raise CliError("the core's explain reply has no \"tokens\" list of {token, index, value} objects")
    return reply


# --- input -------------------------------------------------------------------------------------

def _read_file(path: str) -> str:
    try:
        with open(path, encoding="utf-8", newline="") as file:
            return file.read()
    except UnicodeDecodeError as exc:
        raise CliError(f"cannot read {path}: not UTF-8 text (byte {exc.start})") from None
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None


def _stdin_lines() -> Iterator[tuple[str, str]]:
    if sys.stdin is None:
        raise CliError("standard input is closed")
    for number, raw in enumerate(sys.stdin.buffer, start=1):
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise CliError(f"standard input line {number}: not UTF-8 text (byte {exc.start})") from None
        yield f"stdin line {number}", line.removesuffix("\n").removesuffix("\r")


def _sources(args: argparse.Namespace) -> Iterator[tuple[str, str]]:
    """(label, text) for each text to embed: the arguments or standard input, then the files."""
    if not args.texts and not args.files:
        raise UsageError(f"nothing to embed: give texts, '-' for standard input, or --file PATH (see '{PROG} --help')")
    if "-" in args.texts and len(args.texts) > 1:
        raise UsageError("'-' (standard input) must be the only text argument")
    files = [(path, _read_file(path)) for path in args.files]  # unreadable files fail before any output
    if args.texts == ["-"]:
        yield from _stdin_lines()
    else:
        yield from ((f"argument {number}", text) for number, text in enumerate(args.texts, start=1))
    yield from files


def _chunks(items: Iterable, size: int) -> Iterator[list]:
    iterator = iter(items)
    while chunk := list(itertools.islice(iterator, size)):
        yield chunk


# --- output ------------------------------------------------------------------------------------

def _preview(text: str) -> str:
    flat = " ".join(text.split())
    return flat if len(flat) <= PREVIEW_CHARS else flat[: PREVIEW_CHARS - 1] + "…"


def _show_token(token: object) -> str:
    text = str(token)
    return text if text.isprintable() else repr(text)


def _print_top(label: str, text: str, top: int) -> None:
    reply = _explain(text)
    tokens = sorted(reply["tokens"], key=lambda token: (-token["value"], str(token["token"])))
    size = f"{reply.get('original_chars', len(text))} chars"
    if reply.get("truncated"):
        size += f", truncated to {reply.get('used_chars')}"
    print(f"== {label}: {json.dumps(_preview(text), ensure_ascii=False)} ({size}, {len(tokens)} distinct tokens)")
    rows = [
        (f"{token['value']:.4f}", str(token.get("tf", "")), str(token["index"]), _show_token(token["token"]))
        for token in tokens[:top]
    ]
    if not rows:
        print("   (no tokens)")
        return
    header = ("weight", "tf", "index", "token")
    widths = [max(len(row[column]) for row in [header, *rows]) for column in range(3)]
    for row in [header, *rows]:
        print("   " + "  ".join(cell.rjust(width) for cell, width in zip(row, widths)) + "  " + row[3])


def _run_embed(args: argparse.Namespace) -> None:
    for chunk in _chunks(_sources(args), CHUNK_SIZE):
        if args.top is not None:
            for label, text in chunk:
                _print_top(label, text, args.top)
                print()
            continue
        for embedding in _embed([text for _, text in chunk]):
            print(json.dumps(embedding))


def _run_demo(args: argparse.Namespace) -> None:
    _service()  # fail before printing anything
    print(f"vorpaline {__version__} demo: the {args.top} heaviest tokens of each sample")
    print(f"profile {_profile_json()}")
    print()
    for label, text in SAMPLES:
        _print_top(f"{label} sample", text, args.top)
        print()


# --- repository files ----------------------------------------------------------------------------

def _scan_module():
    try:
        from vorpaline import scan
    except ImportError as exc:
        raise CliError(f"cannot import vorpaline.scan ({exc}); build it with 'make build'") from None
    return scan


def _scan_root(path: str) -> str:
    if not os.path.isdir(path):
        reason = "no such directory" if not os.path.exists(path) else "not a directory"
        raise CliError(f"cannot scan {path}: {reason}")
    return path


def _relative_to_root(root: str, path: str) -> str:
    """``path`` as the user typed it (relative to the working directory) made relative to ``root``."""
    relative = os.path.relpath(os.path.abspath(path), os.path.abspath(root))
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        raise CliError(f"{path} is outside the scanned folder {root}")
    relative = "" if relative == os.curdir else relative.replace(os.sep, "/")
    return relative + "/" if path.endswith("/") and relative else relative


def _quoted(name: str) -> str:
    from vorpaline.search.snippets import quoted_name

    return quoted_name(name)


def _print_explanation(root: str, path: str, as_json: bool) -> int:
    explanation = _scan_module().explain(root, _relative_to_root(root, path))
    if as_json:
        print(json.dumps(explanation._asdict(), ensure_ascii=False))
    elif explanation.pattern is not None:
        # git check-ignore -v: where the deciding pattern stands, then the path.
        line = (f"{_quoted(explanation.source or '')}:{explanation.line}:{_quoted(explanation.pattern)}"
                f"\t{_quoted(path)}")
        if explanation.matched not in (None, explanation.path):
            line += f"\t(folder {_quoted(explanation.matched)} is excluded)"
        print(line)
    else:
        print(f"::\t{_quoted(path)}" + (f"\t({explanation.note})" if explanation.note else ""))
    return 0 if explanation.ignored else 1  # git check-ignore's status: 0 when ignored


def _run_files(args: argparse.Namespace) -> int:
    root = _scan_root(args.path)
    if args.explain is not None:
        return _print_explanation(root, args.explain, args.json)
    scan = _scan_module()
    if args.json:
        # The core's reply as it stands: {"root", "files": [...], "skipped": [...]}.
        print(scan._core().scan_repository(scan.config_json(root), args.threads or 0))
        return 0
    report = scan.scan_report(root, threads=args.threads)
    prefix = "" if os.path.normpath(args.path) == os.curdir else args.path.rstrip("/") + "/"
    if args.null:  # byte-exact for xargs -0 and the like
        sys.stdout.writelines(f"{prefix}{file.path}\0" for file in report.files)
    else:  # a name that could move the cursor or pose as two lines is quoted, as git quotes it
        sys.stdout.writelines(f"{_quoted(prefix + file.path)}\n" for file in report.files)
    sys.stdout.flush()
    for skipped in report.skipped:
        _report_skipped(prefix + skipped.path, skipped.reason)
    return 0


def _report_skipped(path: str, reason: str) -> None:
    print(f"{PROG}: skipped {_quoted(path)}: {reason}", file=sys.stderr)


# --- index and search --------------------------------------------------------------------------

def _index_folder(args: argparse.Namespace) -> str:
    return args.index if args.index is not None else os.path.join(args.path, ".vorpaline")


class _ProgressBar:
    """A tqdm bar over the bytes of the files an update looks at, with the file count beside it."""

    def __init__(self, total_files: int, total_bytes: int) -> None:
        from tqdm import tqdm

        self._total_files = total_files
        self._bar = tqdm(total=total_bytes, unit="B", unit_scale=True, unit_divisor=1000, leave=False,
                         dynamic_ncols=True, file=sys.stderr, desc="indexing",
                         # tqdm's {postfix} starts with ", ": the file count goes after the bar
                         bar_format="{desc} {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B{postfix} "
                                    "[{rate_fmt}, {remaining} left]", postfix=f"0/{total_files} files")

    def __call__(self, files_done: int, bytes_done: int) -> None:
        self._bar.set_postfix_str(f"{files_done}/{self._total_files} files", refresh=False)
        self._bar.update(bytes_done - self._bar.n)

    def close(self) -> None:
        self._bar.close()


def _files_to_index(root: str, folder: str) -> tuple[int, int]:
    """How many files an update of ``root`` will look at, and their bytes: the bar's totals."""
    from vorpaline.search import listed_files

    listed = listed_files(os.path.abspath(root), os.path.abspath(folder))
    return len(listed), sum(f.size for f in listed)


def _connect_store(url: str, rebuild: bool = False, force: bool = False):
    try:
        from vorpaline.search.qdrant import QdrantStore
    except ImportError as error:
        raise CliError(f"--store needs qdrant-client ({error}): pip install 'vorpaline[qdrant]'") from None
    return QdrantStore.connect(url, rebuild=rebuild, force=force)


def _check_store_options(args: argparse.Namespace) -> None:
    if args.store is None:
        for option, given in [("--repository", args.repository), ("--dry-run", getattr(args, "dry_run", False)),
                              ("--force", getattr(args, "force", False))]:
            if given:
                raise CliError(f"{option} goes with --store")
    elif args.index is not None:
        raise CliError("--index and --store name two different indexes: give one")


def _run_index(args: argparse.Namespace) -> int:
    from vorpaline.search import Index, LockTimeout, NotAnIndexFolder

    _check_store_options(args)
    root = _scan_root(args.path)
    folder = _index_folder(args)
    store = _connect_store(args.store, args.rebuild, args.force) if args.store is not None else None
    try:
        index = Index.for_repository(root, folder, rebuild=args.rebuild) if store is None else None
    except NotAnIndexFolder as error:
        raise CliError(error.strerror) from None
    bar = None
    if not args.quiet and not args.dry_run and sys.stderr is not None and sys.stderr.isatty():
        bar = _ProgressBar(*_files_to_index(root, folder))
    try:
        if store is not None:
            counts = store.update(root, repository=args.repository, progress=bar, dry_run=args.dry_run,
                                  report=print)
        else:
            prefix = "" if os.path.normpath(args.path) == os.curdir else args.path.rstrip("/") + "/"
            counts = index.update(root, wait=args.wait, progress=bar, skipped_path=None if args.quiet else
                                  lambda path, reason: _report_skipped(prefix + path, reason))
    except (LockTimeout, NotAnIndexFolder) as error:
        raise CliError(error.strerror) from None
    finally:
        if bar is not None:
            bar.close()
    if not args.quiet and not args.dry_run:
        print(f"indexed {counts.indexed} files, skipped {counts.skipped}, unchanged {counts.unchanged}, "
              f"removed {counts.removed}; {counts.chunks} chunks, {counts.bytes / 1e6:.1f} MB "
              f"in {counts.seconds:.2f} s")
        if counts.without_parser:
            print("no parser for " + ", ".join(f"{language} ({count} file{'s' if count != 1 else ''})"
                                               for language, count in sorted(counts.without_parser.items()))
                  + ": chunked by lines, without definitions")
    return 0


def _open_index(folder: str):
    from vorpaline.search import Index, NotAnIndexFolder

    try:
        return Index.open(folder)
    except NotAnIndexFolder as error:
        raise CliError(error.strerror) from None
    except FileNotFoundError:
        raise CliError(f"no index in {folder}; create it with '{PROG} index'") from None


def _run_search(args: argparse.Namespace) -> int:
    from vorpaline.search import queries, snippets

    _check_store_options(args)
    several_repositories = False
    if args.store is not None:
        store = _connect_store(args.store)
        hits = store.search(args.query, k=args.top, path_glob=args.path_glob, repository=args.repository,
                            files=args.files)
        several_repositories = args.repository is None and len({hit.repository for hit in hits}) > 1
    else:
        hits = _open_index(_index_folder(args)).search(args.query, k=args.top, path_glob=args.path_glob,
                                                       files=args.files)
    if args.json:
        for hit in hits:
            print(json.dumps(_hit_record(hit), ensure_ascii=False))
        return 0
    color = snippets.use_color(sys.stdout)
    terms = queries.query_terms(queries.prepared_query(args.query)) if color else frozenset()

    def location(hit) -> str:
        place = f"{hit.path if hit.path is not None else hit.id}:{hit.line or hit.start_line}:"
        return snippets.printable(f"{hit.repository}:{place}" if several_repositories else place)

    for number, hit in enumerate(hits):
        if number:
            print()
        header = f"{location(hit)} {hit.score:.3f}" + (f"  [{', '.join(hit.roles)}]" if hit.roles else "")
        header = f"{snippets.BOLD}{header}{snippets.RESET}" if color else header
        print(header + (f"  (changed since it was indexed: run '{PROG} index')" if hit.stale else ""))
        lines = hit.snippet.splitlines()
        width = len(str(hit.snippet_line + len(lines) - 1))
        for offset, line in enumerate(lines):
            shown = snippets.highlight(snippets.printable(line), terms, color=color)
            print(f"{hit.snippet_line + offset:>{width}}: {shown}".rstrip())
    return 0


def _hit_record(hit) -> dict:
    record = hit._asdict()
    if record["repository"] is None:  # a local index's hit: its repository is the one searched
        del record["repository"]
    # "stale": the file changed since it was indexed; the snippet shows its lines now
    record["roles"] = list(hit.roles)
    record["definitions"] = [definition._asdict() for definition in hit.definitions]
    return record


def _run_symbols(args: argparse.Namespace) -> int:
    from vorpaline.search import snippets

    index = _open_index(_index_folder(args))
    look_up = index.definitions if args.command == "def" else index.references
    found = look_up(args.name, ignore_case=args.ignore_case, path_glob=args.path_glob)
    for symbol in found:
        if args.json:
            print(json.dumps(symbol._asdict(), ensure_ascii=False))
            continue
        where = " ".join(part for part in (symbol.kind, getattr(symbol, "scope", "")) if part)
        print(snippets.printable(f"{symbol.path}:{symbol.line}: {where}"))
    return 0 if found else 1


# --- entry point -------------------------------------------------------------------------------

def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text!r}")
    return value


def _add_store_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--store", metavar="URL",
                         help="a Qdrant collection instead of the local index: qdrant://HOST:PORT/COLLECTION or "
                              "https://HOST:PORT/COLLECTION (API key from $VORPALINE_QDRANT_API_KEY)")
    command.add_argument("--repository", metavar="NAME",
                         help="with --store: the repository's name in the collection (index: default PATH's "
                              "folder name; search: default all of them)")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Code-aware sparse BM25-style embeddings.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    embed = commands.add_parser(
        "embed",
        help="embed texts; print one JSON object per text per line",
        description="Embed the texts given as arguments ('-' alone: one text per line of standard input), "
        "then the whole files given with --file. Prints one JSON object per text per line: "
        '{"indices", "values", "truncated", "original_chars", "used_chars"}.',
    )
    embed.add_argument("texts", nargs="*", metavar="TEXT", help="a text to embed, or '-' for standard input")
    embed.add_argument("--file", dest="files", action="append", default=[], metavar="PATH",
                       help="embed the whole file as one text (UTF-8; repeatable)")
    embed.add_argument("--top", type=_positive_int, metavar="N",
                       help="print each text's N heaviest tokens readably instead of JSON")
    embed.set_defaults(run=_run_embed)

    files = commands.add_parser(
        "files",
        help="list the files of a repository that its ignore rules keep",
        description="List the regular files under PATH (default: the current folder) that the ignore rules "
        "keep, one per line, sorted: the built-in and extra patterns of the settings, git's core.excludesFile, "
        ".git/info/exclude and .gitignore files, then .vorpalineignore files. Paths that cannot be read are "
        "reported on standard error.",
    )
    files.add_argument("path", nargs="?", default=".", metavar="PATH", help="the folder to scan (default: .)")
    files.add_argument("--json", action="store_true",
                       help='print {"root", "files": [{"path", "size", "mtime_ns"}], "skipped": [{"path", "reason"}]}')
    files.add_argument("-z", "--null", action="store_true", help="end each path with NUL instead of a newline")
    files.add_argument("--explain", metavar="FILE",
                       help="say which pattern of which file decides FILE, as git check-ignore -v does; "
                       "exit 0 when it is ignored, 1 when it is listed")
    files.add_argument("--threads", type=_positive_int, metavar="N", help="walk with N threads (default: one per core)")
    files.set_defaults(run=_run_files)

    index = commands.add_parser(
        "index",
        help="build or update the search index of a repository",
        description="Build or update the BM25 index of the repository at PATH (default: the current folder) "
        "in PATH/.vorpaline (or --index DIR), from the files the scan lists: unchanged files are not read again.",
    )
    index.add_argument("path", nargs="?", default=".", metavar="PATH", help="the repository (default: .)")
    index.add_argument("--index", metavar="DIR", help="keep the index in DIR (default: PATH/.vorpaline)")
    index.add_argument("--rebuild", action="store_true", help="start from nothing")
    index.add_argument("--force", action="store_true",
                       help="with --store and --rebuild: replace a collection vorpaline did not make")
    index.add_argument("--wait", type=_seconds, default=DEFAULT_WAIT, metavar="SECONDS",
                       help=f"wait at most this long for another update to finish (default {DEFAULT_WAIT:g}; "
                            "'inf': as long as it takes)")
    index.add_argument("--quiet", action="store_true", help="print nothing")
    _add_store_options(index)
    index.add_argument("--dry-run", action="store_true",
                       help="with --store: print what would be sent and deleted, and send nothing")
    index.set_defaults(run=_run_index)

    search = commands.add_parser(
        "search",
        help="search the index of a repository",
        description="Print the best chunks for QUERY: path:LINE: (the line that matches best) and the score, "
                    "then the chunk's best lines, numbered.",
    )
    search.add_argument("query", metavar="QUERY")
    search.add_argument("path", nargs="?", default=".", metavar="PATH", help="the repository (default: .)")
    search.add_argument("--index", metavar="DIR", help="the index folder (default: PATH/.vorpaline)")
    search.add_argument("--top", type=_positive_int, default=10, metavar="K", help="how many hits (default 10)")
    search.add_argument("--path", dest="path_glob", metavar="GLOB", help="only chunks of files matching GLOB")
    search.add_argument("--files", action="store_true", help="rank files, each by its best chunk")
    search.add_argument("--json", action="store_true", help="print one JSON object per hit")
    _add_store_options(search)
    search.set_defaults(run=_run_search)

    for command, what in (("def", "definitions"), ("refs", "references")):
        symbols = commands.add_parser(
            command,
            help=f"list the {what} of a name",
            description=f"Print the {what} of NAME as path:line: kind"
                        + (" scope" if command == "def" else "") + ", as the files' parsers found them"
                        + ("" if command == "def" else " (calls and uses)") + "; exit 1 when there is none.",
        )
        symbols.add_argument("name", metavar="NAME")
        symbols.add_argument("path", nargs="?", default=".", metavar="PATH", help="the repository (default: .)")
        symbols.add_argument("--index", metavar="DIR", help="the index folder (default: PATH/.vorpaline)")
        symbols.add_argument("-i", "--ignore-case", action="store_true", help="match NAME ignoring case")
        symbols.add_argument("--path", dest="path_glob", metavar="GLOB", help="only files matching GLOB")
        symbols.add_argument("--json", action="store_true", help="print one JSON object per line")
        symbols.set_defaults(run=_run_symbols, command=command)

    demo = commands.add_parser("demo", help="embed built-in samples and print their heaviest tokens")
    demo.add_argument("--top", type=_positive_int, default=8, metavar="N", help="tokens per sample (default 8)")
    demo.set_defaults(run=_run_demo)
    return parser


def _report(message: object) -> None:
    one_line = " ".join(line.strip() for line in str(message).splitlines())
    if not one_line and isinstance(message, BaseException):
        one_line = type(message).__name__
    print(f"{PROG}: error: {one_line}", file=sys.stderr)


def _silence_stdout() -> None:
    # After a reader such as `head` has gone, the interpreter's final flush must not fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def main(argv: list[str] | None = None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")  # a non-UTF-8 terminal still gets every token
    try:
        args = _parser().parse_args(argv)
        status = args.run(args)
        sys.stdout.flush()
        return status or 0
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except BrokenPipeError:
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    except CliError as exc:
        _report(exc)
        return exc.exit_status
    except (OSError, ValueError) as exc:  # bad settings, or a core that rejected a text
        _report(exc)
        return 1
    except Exception as exc:  # noqa: BLE001 - any other failure still ends in one line, not a traceback
        _report(f"{type(exc).__name__}: {exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
