"""The command and the steps that set state up and put it back."""
import json

import pytest

from bench import __main__ as main_module
from bench import callgrind, code_tokens, corpus, machine, report


def fake_tables(monkeypatch, calls):
    def stub(name, result):
        def run(*args, **kwargs):
            calls.append(name)
            return result
        return run
    from bench.tests.test_sections import memory_result, scaling_result, throughput_result
    overhead = {"repeats": 1, "rows": [{"row": "op", "ns": {"compiled": 1.0, "floor": 1.0}, "compiled_vs_floor": 1.0}]}
    monkeypatch.setattr(main_module.overhead, "run", stub("overhead", overhead))
    monkeypatch.setattr(main_module.throughput, "run", stub("throughput", throughput_result()))
    monkeypatch.setattr(main_module.scaling, "run", stub("scaling", scaling_result(1.8)))
    monkeypatch.setattr(main_module.memory, "run", stub("memory", memory_result(2.0)))
    monkeypatch.setattr(main_module.corpus, "load", lambda: None)
    from bench.tests.test_limits import limits_result
    monkeypatch.setattr(main_module.limits, "run", lambda *args, **kwargs: limits_result())  # minutes when real
    not_built = {"status": "not built yet", "date": "d", "load_average": "0"}
    monkeypatch.setattr(main_module.localize, "run", lambda *args, **kwargs: not_built)  # minutes when real
    monkeypatch.setattr(main_module.identifiers, "run", lambda *args, **kwargs: not_built)
    monkeypatch.setattr(main_module.code_cost, "run", lambda *args, **kwargs: not_built)  # minutes when real


def test_full_run_writes_document_plots_and_results(tmp_path, monkeypatch):
    calls = []
    fake_tables(monkeypatch, calls)
    doc = tmp_path / "docs" / "benchmarks.md"
    assert main_module.main(["--doc", str(doc), "--build-dir", str(tmp_path / "build")]) == 0
    assert calls == ["overhead", "throughput", "scaling", "memory"]
    text = doc.read_text(encoding="utf-8")
    assert report.BEGIN in text and "![Throughput](bench-throughput.png)" in text
    assert (doc.parent / "bench-throughput.png").exists() and (doc.parent / "bench-scaling.png").exists()
    saved = json.loads((tmp_path / "build" / "results.json").read_text(encoding="utf-8"))
    assert set(saved) >= {"machine", "overhead", "throughput", "scaling", "memory"}
    assert "load_average before scaling" in saved["machine"]


def test_partial_run_prints_and_leaves_the_document(tmp_path, monkeypatch, capsys):
    calls = []
    fake_tables(monkeypatch, calls)
    doc = tmp_path / "benchmarks.md"
    doc.write_text("# kept\n", encoding="utf-8")
    assert main_module.main(["--only", "memory", "--doc", str(doc), "--build-dir", str(tmp_path)]) == 0
    assert calls == ["memory"]
    assert doc.read_text(encoding="utf-8") == "# kept\n"
    assert "### 4. Peak memory" in capsys.readouterr().out


def test_unlimited_service_restores_the_setting_and_the_shared_service():
    sparse = pytest.importorskip("vorpaline.sparse")
    from vorpaline.config import settings

    from bench.throughput import unlimited_service
    before = settings.sparse_max_text_chars
    with unlimited_service() as service:
        assert settings.sparse_max_text_chars is None
        assert json.loads(service._profile_json)["max_text_chars"] is None
    assert settings.sparse_max_text_chars == before
    assert json.loads(sparse.get_sparse_service()._profile_json)["max_text_chars"] == before


def test_stdlib_corpus_is_the_standard_library_only():
    paths = corpus.source_paths(corpus.stdlib_root())
    assert len(paths) > 500
    assert not any("site-packages" in p or "dist-packages" in p for p in paths)
    assert all(p.endswith(".py") for p in paths)
    assert len(set(paths)) == len(paths)
    assert paths == corpus.source_paths(corpus.stdlib_root())  # a fixed order, run after run


def test_machine_description_names_what_the_numbers_depend_on():
    described = machine.describe()
    for key in ("cpu", "cores", "memory", "python", "compiler", "load_average at start", "scikit-learn"):
        assert described[key]


@pytest.mark.parametrize(("name", "expected"), [
    ("vorpaline_core::(anonymous namespace)::f(std::basic_string_view<char, std::char_traits<char> >)",
     "vorpaline_core::f(std::string_view)"),
    ("x" * 200, "x" * 107 + "..."),
])
def test_shorten(name, expected):
    assert callgrind.shorten(name) == expected


def test_top_shares():
    ranked = callgrind.top({"a": 30.0, "b": 60.0, "c": 10.0}, 2)
    assert [(name, share) for name, _, share in ranked] == [("b", 0.6), ("a", 0.3)]


@pytest.mark.parametrize(("text", "tokens"), [("", []), ("öl", ["öl"]), ("ÖL Öl", ["öl", "öl"])])
def test_log_tf_embed_non_ascii(text, tokens):
    indices, values = code_tokens.log_tf_embed(text)
    assert code_tokens.code_tokens(text) == tokens
    assert len(indices) == len(set(tokens)) and len(values) == len(indices)


@pytest.mark.parametrize(("shares", "expected"), [
    ([0.95, 0.97], True), ([0.5, 0.95, 0.96], True), ([0.95, 0.5, 0.95, 0.5], False), ([0.2] * 5, False)])
def test_wait_until_idle_needs_two_quiet_probes(monkeypatch, shares, expected):
    clock = iter(range(100))
    probes = iter(shares)
    monkeypatch.setattr(machine.time, "monotonic", lambda: next(clock))
    monkeypatch.setattr(machine, "idle_share", lambda probe: next(probes))
    assert machine.wait_until_idle(max_seconds=len(shares) + 1) is expected  # one clock tick per probe


def test_idle_share_is_a_share():
    assert 0.0 <= machine.idle_share(0.05) <= 1.0
