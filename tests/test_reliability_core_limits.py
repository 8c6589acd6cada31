"""Limits of one core call: running out of address space, and the memory one
call takes whatever the shape of its text. Each check runs in a fresh
interpreter, so that its limits and peaks are its own."""

import json
import math
import os
import random
import subprocess
import sys
import textwrap

import pytest

from conftest import token_index

MB = 1 << 20


# AddressSanitizer reserves terabytes of shadow memory: no address-space limit
# leaves it room, and its allocator keeps what is freed.
UNDER_ASAN = "ASAN_OPTIONS" in os.environ
# Every large block is mapped when asked for and unmapped when freed, so each
# call meets the limit afresh rather than reusing what an earlier call freed.
FRESH_MAPPINGS = {"MALLOC_MMAP_THRESHOLD_": "131072", "MALLOC_TRIM_THRESHOLD_": "131072"}


def run_child(code, timeout=300, env=None):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env={**os.environ, **(env or {})})
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# --- out of memory is not bad input --------------------------------------------

OUT_OF_MEMORY_CHILD = """
    import json, resource, sys
    import vorpaline_core_py as core

    MB = 1 << 20
    profile = json.dumps({"max_text_chars": None})
    big_profile = json.dumps({"max_text_chars": None, "version": "v" * (8 * MB)})
    # Another text: each thread keeps the last profile it parsed.
    other_big_profile = big_profile.replace("v", "w")
    texts = ["getUserName value_%d " % i * 40 for i in range(8 * MB // 1000)]
    batch = json.dumps(texts)
    bad_batch = batch[:-1] + ', 1]'
    # The batch is read in place, and a thread's buffers are kept from call
    # to call: one long text makes the call need memory beyond what it keeps.
    long_batch = json.dumps(texts + ["getUserName value " * (MB // 2)])
    calls = {
        "batch": lambda: core.sparse_embed_batch(long_batch, profile),
        "bad batch": lambda: core.sparse_embed_batch(bad_batch, profile),
        "profile": lambda: core.sparse_embed_single("some text", big_profile),
        "explain with the profile": lambda: core.sparse_explain("some text", other_big_profile),
        "single": lambda: core.sparse_embed_single(batch, profile),
    }

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def outcome(call, limit):
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        try:
            call()
            return "ok"
        except MemoryError:
            return "MemoryError"
        except ValueError as error:
            return "ValueError: " + str(error)[:120]
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)

    report = {}
    for name, call in calls.items():
        expected = "ok" if name != "bad batch" else outcome(call, resource.RLIM_INFINITY)
        seen = {}
        headroom = 0
        # From no headroom at all up to enough, in steps that grow: every
        # allocation of the call fails at some limit on the way.
        while headroom < 2048 * MB:
            got = outcome(call, vm_size() + headroom)
            seen.setdefault(got, headroom // MB)
            if got == expected:
                break
            headroom += MB // 4 + headroom // 16
        report[name] = {"expected": expected, "seen": seen}
    print(json.dumps(report))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="address-space limits leave AddressSanitizer no room")
def test_running_out_of_address_space_raises_memory_error_never_value_error():
    # A valid batch or profile that cannot be parsed for want of memory is not
    # invalid: callers drop inputs that raise ValueError.
    report = run_child(OUT_OF_MEMORY_CHILD, env=FRESH_MAPPINGS)
    for name, found in report.items():
        outcomes = set(found["seen"])
        assert "MemoryError" in outcomes, (name, found)
        assert outcomes <= {"MemoryError", found["expected"]}, (name, found)
    assert report["bad batch"]["expected"].startswith("ValueError: batch element 8388")


# --- memory of one call ----------------------------------------------------------

PEAK_MEMORY_CHILD = """
    import json, sys
    import vorpaline_core_py as core

    def status(field):
        with open("/proc/self/status") as lines:
            for line in lines:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    size = int(sys.argv[1])
    shapes = {
        "letters and digits": lambda n: "a1" * (n // 2),
        "camelCase runs": lambda n: "getUserName" * (n // 11),
        "plain words": lambda n: "the parser reads each token once " * (n // 33),
        "one huge identifier": lambda n: "a" * n,
        "one identifier of joined parts": lambda n: "ab_cd." * (n // 6),
        "non-ASCII text": lambda n: "Привет, мир! Это текст. " * (n // 40),
        "non-ASCII identifier": lambda n: "строкаИмя" * (n // 17),
        "one word that folds to eleven times its size": lambda n: "\ufdfa" * (n // 3),
    }
    profile = json.dumps({"max_text_chars": None})
    core.sparse_embed_single("warm up", profile)
    report = {}
    for name, make in shapes.items():
        text = make(size)
        before = status("VmRSS")
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak starts again from here
        reply = core.sparse_embed_single(text, profile)
        report[name] = {"utf8_bytes": len(text.encode()), "extra": status("VmHWM") - before}
        del text, reply
    print(json.dumps(report))
"""

PEAK_CONSTANT = 8 * MB


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's allocator keeps freed memory")
def test_one_call_takes_at_most_four_times_its_text_whatever_the_shape():
    # A text with no character limit is held, classified and lowered once;
    # nothing may grow with the number of its parts or its characters beyond that.
    report = run_child(PEAK_MEMORY_CHILD.replace("sys.argv[1]", str(6 * MB)))
    too_much = {name: round(found["extra"] / found["utf8_bytes"], 2)
                for name, found in report.items()
                if found["extra"] > 4 * found["utf8_bytes"] + PEAK_CONSTANT}
    assert not too_much, too_much


# --- crafted tokens -------------------------------------------------------------


def _letters(number, length):
    return "".join(chr(ord("a") + (number // 26**i) % 26) for i in range(length))


def _old_short_slot_crowd(count, bits=8):
    """8-letter tokens that all fell in one slot of the previous core's
    short-token table, whatever its size up to 2**bits."""
    found, number = [], 0
    while len(found) < count:
        token = _letters(number, 8)
        low = int.from_bytes(token.encode(), "little")
        if (low * 0xD6E8FEB86659FD93 % 2**64) >> (64 - bits) == 0:
            found.append(token)
        number += 1
    return found


def _index_crowd(count, low_bits):
    """20-letter tokens whose indices share their low bits: one slot of the
    previous core's long-token table."""
    found, number = [], 0
    while len(found) < count:
        token = _letters(number, 20)
        if token_index(token) & ((1 << low_bits) - 1) == 0:
            found.append(token)
        number += 1
    return found


@pytest.mark.parametrize("make_tokens", [lambda: _old_short_slot_crowd(600),
                                         lambda: _index_crowd(300, 10),
                                         lambda: [_letters(i, 8) for i in range(5000)],
                                         lambda: ["prefixab" + _letters(i, 8) for i in range(5000)]],
                         ids=["one old short slot", "one old long slot", "counters", "shared prefix"])
def test_crafted_tokens_are_counted_exactly(make_tokens):
    # Whatever slots the tokens crowd, each counts once per occurrence, as the
    # explanation (which counts by the token's text) says.
    import vorpaline_core_py as core

    tokens = make_tokens()
    rng = random.Random(3)
    tfs = {token: rng.randrange(1, 5) for token in tokens}
    text = [token for token, tf in tfs.items() for _ in range(tf)]
    rng.shuffle(text)
    profile = json.dumps({"max_text_chars": None})
    reply = json.loads(core.sparse_embed_single(" ".join(text), profile))
    by_index = {}
    for entry in json.loads(core.sparse_explain(" ".join(text), profile))["tokens"]:
        assert entry["tf"] == tfs[entry["token"]]
        by_index[entry["index"]] = by_index.get(entry["index"], 0) + entry["tf"]
    assert reply["indices"] == sorted(by_index)
    assert reply["values"] == [1 + math.log(by_index[index]) for index in reply["indices"]]
