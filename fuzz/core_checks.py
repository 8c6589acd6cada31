"""What must hold for every input the fuzzer makes. An input is up to three
parts split at 0xFF bytes (a byte UTF-8 never uses): the profile text, the
batch text and the text to embed; fewer parts leave the first ones out.

- A call either returns a reply or raises ValueError; anything else (the
  core's RuntimeError for an internal error, MemoryError, SystemError, a
  crash) is a finding.
- A profile the core refuses is refused by every function; one it accepts
  embeds every text that UTF-8 can encode, and a text with a lone surrogate
  is refused.
- A reply is well formed: indices ascending and unique, non-negative 31-bit
  integers; values positive floats, one per index; truncation fields that
  agree with the text and the profile's limit.
- The same call gives the same reply; a batch gives, element by element,
  exactly what single calls give; explain names the indices embed gives.
- The core accepts a batch text exactly when it is a JSON array of strings
  that UTF-8 can encode.
"""

import json
import math

import vorpaline_core_py as core

SEPARATOR = b"\xff"
DEFAULT_PROFILE = (
    '{"version": "bm25-v1", "max_text_chars": 200000, '
    '"code_pretokenize": true, "min_token_len": 2}'
)
DEFAULT_LIMIT = 200000  # the core's limit when the profile names none


class Finding(AssertionError):
    pass


def expect(condition, message, *details):
    if not condition:
        raise Finding(message + "".join(f"\n  {d!r:.400}" for d in details))


def decode(part):
    """Any bytes as a str: lone surrogates survive (they are cases to test),
    other invalid bytes become U+FFFD."""
    try:
        return part.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return part.decode("utf-8", "replace")


def split(data):
    parts = [decode(p) for p in data.split(SEPARATOR, 2)]
    text = parts[-1]
    profile = parts[0] if len(parts) >= 2 else DEFAULT_PROFILE
    batch = parts[1] if len(parts) == 3 else json.dumps([text])
    return profile, batch, text


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def outcome(function, *args):
    """The reply text, or the ValueError raised; anything else propagates."""
    try:
        return function(*args)
    except ValueError as exc:
        return exc


def refused(result):
    return isinstance(result, ValueError)


def limit_of(profile_text):
    """The character limit an accepted profile sets: an int or None, or
    Ellipsis when it is nested deeper than Python's reader goes (unchecked)."""
    try:
        profile = json.loads(profile_text, strict=False)
    except RecursionError:
        return Ellipsis
    except ValueError:
        raise Finding(f"a profile that is not JSON was accepted\n  {profile_text!r:.400}") from None
    expect(isinstance(profile, dict), "a profile that is not an object was accepted", profile_text)
    return profile.get("max_text_chars", DEFAULT_LIMIT)


def check_reply(reply_text, text, limit):
    reply = json.loads(reply_text)
    indices, values = reply["indices"], reply["values"]
    expect(len(indices) == len(values), "indices and values differ in length", reply)
    expect(all(type(i) is int and 0 <= i < 2**31 for i in indices), "index out of range", reply)
    expect(all(a < b for a, b in zip(indices, indices[1:])), "indices not strictly ascending", reply)
    expect(all(type(v) is float and math.isfinite(v) and v > 0 for v in values), "bad weight", reply)
    expect(reply["original_chars"] == len(text), "original_chars is not the text's length", reply, text)
    if limit is not Ellipsis:
        used = len(text) if limit is None else min(len(text), limit)
        expect(reply["used_chars"] == used, "used_chars disagrees with the limit", reply, limit)
        expect(reply["truncated"] is (used < len(text)), "truncated disagrees with the limit", reply)
    return reply


def check_refused_profile(profile, batch, text):
    for name, result in (
        ("sparse_embed_single", outcome(core.sparse_embed_single, text, profile)),
        ("sparse_embed_batch", outcome(core.sparse_embed_batch, batch, profile)),
        ("sparse_explain", outcome(core.sparse_explain, text, profile)),
    ):
        expect(refused(result), f"{name} accepted a profile that embedding an empty text refused", profile)


def check_text(profile, text, limit):
    first = outcome(core.sparse_embed_single, text, profile)
    if not encodable(text):
        expect(refused(first), "a text with a lone surrogate was embedded", text)
        expect(refused(outcome(core.sparse_explain, text, profile)), "explain took a lone surrogate", text)
        return
    expect(not refused(first), "an encodable text was refused", text, first)
    reply = check_reply(first, text, limit)
    expect(core.sparse_embed_single(text, profile) == first, "the same call gave another reply", text)
    tokens = json.loads(core.sparse_explain(text, profile))["tokens"]
    expect(
        sorted({t["index"] for t in tokens}) == reply["indices"],
        "explain and embed disagree on the indices",
        text,
    )
    texts = [text, text[: len(text) // 2], text[::-1], ""]
    singles = [json.loads(core.sparse_embed_single(t, profile)) for t in texts]
    for ensure_ascii in (True, False):
        batch = json.loads(core.sparse_embed_batch(json.dumps(texts, ensure_ascii=ensure_ascii), profile))
        expect(batch["embeddings"] == singles, "a batch differs from its single calls", texts)


def parse_batch(batch, strict):
    """The texts of a batch as a standard JSON reader sees it, or None."""
    try:
        value = json.loads(batch, strict=strict)
    except (ValueError, RecursionError):
        return None
    if isinstance(value, list) and all(isinstance(t, str) for t in value):
        return value
    return None


def check_batch(profile, batch):
    result = outcome(core.sparse_embed_batch, batch, profile)
    if refused(result):
        texts = parse_batch(batch, strict=True)
        expect(
            texts is None or not all(encodable(t) for t in texts),
            "a JSON array of encodable strings was refused",
            batch,
            result,
        )
        return
    # Raw control characters inside strings are tolerated by some readers.
    texts = parse_batch(batch, strict=False)
    expect(texts is not None, "a batch that is not a JSON array of strings was accepted", batch)
    expect(all(encodable(t) for t in texts), "a batch with a lone surrogate was accepted", batch)
    embeddings = json.loads(result)["embeddings"]
    singles = [json.loads(core.sparse_embed_single(t, profile)) for t in texts]
    expect(embeddings == singles, "a batch differs from its single calls", batch)


def is_blank(line):
    return line.strip(" \t\r\f\v") == ""


def check_chunks(text):
    """Chunks are in order, never overlap, never start or end on a blank line,
    and cover every non-blank line exactly once."""
    if not encodable(text):
        return
    lines = text.split("\n")
    chunks = json.loads(core.chunk_text(text))["chunks"]
    covered = []
    for first, last in chunks:
        expect(1 <= first <= last <= len(lines), "a chunk outside the text", first, last, len(lines))
        expect(not is_blank(lines[first - 1]) and not is_blank(lines[last - 1]), "a chunk ends on a blank line",
               first, last)
        covered.extend(range(first, last + 1))
    expect(covered == sorted(set(covered)), "chunks overlap or are out of order", chunks)
    missing = [n for n, line in enumerate(lines, 1) if not is_blank(line) and n not in set(covered)]
    expect(not missing, "a non-blank line in no chunk", missing[:5])


def check(data):
    profile, batch, text = split(data)
    check_chunks(text)
    if refused(outcome(core.sparse_embed_single, "", profile)):
        check_refused_profile(profile, batch, text)
        return
    limit = limit_of(profile)
    check_text(profile, text, limit)
    check_batch(profile, batch)
