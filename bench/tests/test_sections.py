"""The report's verdicts and the plots: a threshold checked the wrong way
round would call a missed target met."""
import pytest

from bench import memory, plots, report, scaling, throughput


def throughput_result(b_vs_e=10.0, b_vs_d=3.0, a_mb_s=400.0):
    rows = [{"key": k, "label": f"variant {k}", "mb_s": mb, "seconds": 31.5 / mb, "repeats": 5, "samples_s": []}
            for k, mb in zip("abcdef", [a_mb_s, 80.0, 100.0, 20.0, 6.0, 6.0])]
    return {"files": 3, "megabytes": 31.5, "skipped": [], "rows": rows,
            "ratios": {"b_vs_e": b_vs_e, "b_vs_d": b_vs_d, "a_mb_s": a_mb_s},
            "stages": {"json.dumps(texts)": 0.1, "core": 0.3}, "reply": {
                "reply_megabytes": 16.0, "terms": 1000, "bytes_per_term": 22.0}}


@pytest.mark.parametrize(("ratios", "line", "verdict"), [
    ({"b_vs_e": throughput.TARGET_VS_CODE_AWARE}, "(b) at least 5x (e)", "met"),
    ({"b_vs_e": 4.99}, "(b) at least 5x (e)", "**missed**"),
    ({"b_vs_d": throughput.TARGET_VS_DEFAULT}, "(b) at least 2x (d)", "met"),
    ({"b_vs_d": 1.99}, "(b) at least 2x (d)", "**missed**"),
    ({"a_mb_s": 300.0}, "(a) at least 300 MB/s", "met"),
    ({"a_mb_s": 299.9}, "(a) at least 300 MB/s", "**missed**"),
])
def test_throughput_verdicts(ratios, line, verdict):
    text = report.throughput_section(throughput_result(**ratios))
    row = next(r for r in text.splitlines() if r.startswith(f"| {line}"))
    assert row.rstrip().endswith(f"| {verdict} |")


def test_throughput_stage_shares_add_up():
    text = report.throughput_section(throughput_result())
    assert "| json.dumps(texts) | 0.100 | 25% |" in text and "| core | 0.300 | 75% |" in text


def scaling_result(two):
    row = {"key": "core", "label": "core", "mb_s": {1: 100.0, 2: 100.0 * two, 4: 100.0 * two},
           "speedup": {1: 1.0, 2: two, 4: two}, "cores_busy": {1: 1.0, 2: two, 4: two}}
    return {"threads": [1, 2, 4], "repeats": 3, "rows": [row]}


@pytest.mark.parametrize(("two", "verdict"), [(1.7, "met"), (1.69, "**missed**"), (2.0, "met")])
def test_scaling_verdict(two, verdict):
    assert f"(measured {two:.2f}x: {verdict})" in report.scaling_section(scaling_result(two))


def memory_result(extra_vs_corpus):
    corpus = 30 << 20
    rows = [{"key": key, "label": key, "corpus_bytes": corpus, "rss_before": 50 << 20,
             "peak_rss": (50 << 20) + int(extra_vs_corpus * corpus), "extra": int(extra_vs_corpus * corpus),
             "extra_vs_corpus": extra_vs_corpus, "peak_vs_corpus": 0.0} for key in memory.VARIANTS]
    return {"rows": rows}


@pytest.mark.parametrize(("extra", "verdict"), [(3.99, "met"), (4.0, "**missed**"), (5.1, "**missed**")])
def test_memory_verdict(extra, verdict):
    assert f": {verdict})" in report.memory_section(memory_result(extra))


def test_render_includes_only_the_tables_run():
    text = report.render({"machine": {"cpu": "x"}, "memory": memory_result(2.0)})
    assert "### 4. Peak memory" in text and "### 1." not in text and "### 2." not in text


def test_plots_are_png_files(tmp_path):
    plots.throughput_plot(throughput_result(), tmp_path / "t.png")
    plots.scaling_plot(scaling_result(1.9), tmp_path / "s.png")
    for name in ("t.png", "s.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_cores_busy():
    assert scaling.Sample(wall=2.0, cpu=3.0).cores_busy == 1.5
    assert scaling.Sample(wall=0.0, cpu=1.0).cores_busy == 0.0
