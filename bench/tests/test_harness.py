"""The measuring and reporting machinery: wrong arithmetic here would put
wrong numbers in the document however good the modules are."""
import os
import time

import pytest

from bench import callgrind, corpus, memory, report, scaling, timing


@pytest.mark.parametrize("count", [1, 2, 3, 4, 7])
def test_shards_cover_the_corpus_once_in_order(count):
    texts = [f"{i:03d}" + "x" * (i * 37 % 101) for i in range(50)]
    shards = scaling.shards(texts, count)
    assert len(shards) == count
    assert sorted(t for shard in shards for t in shard) == sorted(texts)
    for shard in shards:
        assert shard == sorted(shard)  # corpus order kept within a shard


def test_shards_balance_bytes():
    texts = ["a" * size for size in [900, 800, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100]]
    sizes = [sum(map(len, shard)) for shard in scaling.shards(texts, 2)]
    assert max(sizes) - min(sizes) <= 100


def test_interleaved_takes_turns():
    order = []
    samples = timing.interleaved({"a": lambda: order.append("a") or 1.0, "b": lambda: order.append("b") or 2.0}, 3)
    assert order == ["a", "b"] * 3
    assert samples == {"a": [1.0] * 3, "b": [2.0] * 3}


def test_paired_ratios_cancel_a_shared_slowdown():
    samples = {"x": [1.0, 2.0, 4.0], "y": [2.0, 4.0, 8.0]}
    assert timing.paired_ratios(samples, "x", "y") == [0.5, 0.5, 0.5]
    assert timing.ratio(1.0, 0.0) == float("inf")


@pytest.mark.parametrize(("samples", "expected"), [
    ([1.0, 2.0, 3.0, 4.0, 5.0], (2.0, 4.0)), ([7.0], (7.0, 7.0)), ([1.0, 3.0], (1.5, 2.5))])
def test_quartiles(samples, expected):
    assert timing.quartiles(samples) == pytest.approx(expected)


def test_call_timer_is_net_of_the_loop():
    slow = timing.CallTimer("f()", {"f": lambda: time.sleep(0)}, target_seconds=0.01)
    empty = timing.CallTimer("f", {"f": None}, target_seconds=0.01)
    assert slow.sample() > 0
    assert empty.sample() < slow.sample()


def test_cpu_seconds_leaves_out_sleep():
    assert timing.cpu_seconds(lambda: time.sleep(0.05)) < 0.02


def test_corpus_skips_third_party_dirs_and_honours_coding_cookies(tmp_path):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "site-packages").mkdir()
    (tmp_path / "b.py").write_text("x = 'b'\n", encoding="utf-8")
    (tmp_path / "pkg" / "a.py").write_bytes("# -*- coding: latin-1 -*-\ns = 'caf\xe9'\n".encode("latin-1"))
    (tmp_path / "site-packages" / "c.py").write_text("x = 1\n", encoding="utf-8")
    (tmp_path / "bad.py").write_bytes(b"# -*- coding: no-such-codec -*-\n")
    (tmp_path / "notes.txt").write_text("not python", encoding="utf-8")
    loaded = corpus.load(str(tmp_path))
    assert [os.path.relpath(p, tmp_path) for p in loaded.paths] == ["b.py", os.path.join("pkg", "a.py")]
    assert "café" in loaded.texts[1]
    assert [os.path.basename(p) for p in loaded.skipped] == ["bad.py"]
    assert loaded.utf8_bytes == sum(len(t.encode("utf-8")) for t in loaded.texts)


STATUS = "Name:\tpython\nVmHWM:\t  219368 kB\nVmRSS:\t  120332 kB\n"


@pytest.mark.parametrize(("field", "kib"), [("VmHWM", 219368), ("VmRSS", 120332)])
def test_status_fields(field, kib):
    assert memory.status_kib(field, STATUS) == kib


def test_status_field_missing():
    with pytest.raises(ValueError):
        memory.status_kib("VmSwap", STATUS)


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux /proc")
def test_peak_counter_resets():
    def peak():
        with open("/proc/self/status", encoding="ascii") as handle:
            return memory.status_kib("VmHWM", handle.read())
    block = bytearray(64 << 20)
    block[::4096] = b"x" * len(block[::4096])  # touch every page
    del block
    high = peak()
    memory.reset_peak()
    assert peak() < high - (32 << 10)


ANNOTATE = """\
--------------------------------------------------------------------------------
Ir                   file:function
--------------------------------------------------------------------------------
1,000,000 (50.00%)  Objects/dictobject.c:insertdict [/usr/lib/libpython3.11.so]
  400,000 (20.00%)  /src/core/tokenizer.cpp:vorpaline_core::Tokenizer::emit(std::string_view) [/x/core.so]
  100,000 ( 5.00%)  Objects/dictobject.c:insertdict'2 [/usr/lib/libpython3.11.so]
   50,000 ( 2.50%)  other/dictobject.c:insertdict [/usr/lib/libpython3.11.so]
      600  ???:0x0000000000012345 [/x/core.so]
"""


def test_parse_annotate_adds_up_a_function_seen_through_several_files():
    costs = callgrind.parse_annotate(ANNOTATE)
    assert costs["insertdict"] == 1_050_000
    assert costs["insertdict'2"] == 100_000
    assert costs["vorpaline_core::Tokenizer::emit(std::string_view)"] == 400_000
    assert costs["0x0000000000012345"] == 600


def test_per_call_and_difference():
    with_calls = {"f": 1_100, "g": 500, "h": 40}
    without = {"f": 100, "g": 500, "h": 60}
    assert callgrind.per_call(with_calls, without, 10) == {"f": 100.0}
    assert callgrind.difference({"f": 30.0, "g": 5.0}, {"f": 10.0, "g": 8.0, "k": 1.0}) == {"f": 20.0}


def test_report_replaces_only_the_block_between_markers(tmp_path):
    document = tmp_path / "benchmarks.md"
    document.write_text(f"# Title\n\nreading\n\n{report.BEGIN}\nold numbers\n{report.END}\n\n## After\nkept\n",
                        encoding="utf-8")
    report.write(document, {"machine": {"cpu": "test-cpu"}})
    text = document.read_text(encoding="utf-8")
    assert "old numbers" not in text and "test-cpu" in text
    assert text.startswith("# Title\n\nreading\n\n") and text.endswith("## After\nkept\n")
    report.write(document, {"machine": {"cpu": "other-cpu"}})
    assert document.read_text(encoding="utf-8").count(report.BEGIN) == 1


def test_report_appends_the_block_when_markers_are_missing(tmp_path):
    document = tmp_path / "benchmarks.md"
    document.write_text("# Notes\n", encoding="utf-8")
    report.write(document, {"machine": {"cpu": "c"}})
    text = document.read_text(encoding="utf-8")
    assert text.startswith("# Notes\n\n" + report.BEGIN) and text.rstrip().endswith(report.END)


@pytest.mark.parametrize(("vs_pure", "vs_floor", "verdict"), [
    ((0.9, 0.8), (1.10, 1.0), "met"),
    ((1.01, 1.02), (1.10, 1.0), "**missed**"),
    ((1.01, 0.99), (1.10, 1.0), "within noise"),
    ((0.9, 0.8), (1.2, 1.16), "**missed**"),
    ((0.9, 0.8), (1.2, 1.14), "within noise"),
    ((1.5, 1.4), (1.2, 1.14), "**missed**"),
    (None, (1.0, 0.9), "met"),
])
def test_overhead_verdicts(vs_pure, vs_floor, verdict):
    row = {"row": "op", "ns": {"compiled": 10.0, "floor": 9.0}, "compiled_vs_floor": vs_floor[0],
           "compiled_vs_floor_quartiles": (vs_floor[1], 2.0)}
    if vs_pure is not None:
        row["compiled_vs_pure"], row["compiled_vs_pure_quartiles"] = vs_pure[0], (vs_pure[1], 2.0)
        row["ns"]["pure"] = 11.0
    table = report.overhead_section({"repeats": 3, "rows": [row]})
    assert table.rstrip().endswith(f"| {verdict} |")
