"""``vorpaline embed``: texts, standard input or files in, one embedding per line out."""

import argparse
import itertools
import json
import sys
from collections.abc import Iterable, Iterator

from vorpaline.cli.common import PROG, CliError, UsageError, positive_int

EMBEDDING_KEYS = ("indices", "values", "truncated", "original_chars", "used_chars")
CHUNK_SIZE = 256  # texts per core call: output starts early and memory stays bounded on long input
PREVIEW_CHARS = 60


def add_to(commands) -> None:
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
    embed.add_argument("--top", type=positive_int, metavar="N",
                       help="print each text's N heaviest tokens readably instead of JSON")
    embed.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    for chunk in _chunks(_sources(args), CHUNK_SIZE):
        if args.top is not None:
            for label, text in chunk:
                print_top(label, text, args.top)
                print()
            continue
        for embedding in _embed([text for _, text in chunk]):
            print(json.dumps(embedding))


# --- the embedding service -----------------------------------------------------------------------

def service():
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


def profile_json() -> str:
    return service()._profile_json


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
        records = service().embed_batch(texts)
    except json.JSONDecodeError as exc:
        raise CliError(f"the core's batch reply is not JSON text: {exc}") from None
    except KeyError as exc:
        raise CliError(f"the core's batch reply has no member {exc}") from None
    return [{key: getattr(record, key) for key in EMBEDDING_KEYS} for record in records]


def _explain(text: str) -> dict:
    reply = _decode_reply(_core().sparse_explain(text, profile_json()), "explain")
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


def print_top(label: str, text: str, top: int) -> None:
    """The ``top`` heaviest tokens of ``text`` as a table under a header naming it."""
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
