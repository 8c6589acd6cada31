"""The results as Markdown tables, written between two markers of docs/benchmarks.md."""
from __future__ import annotations

from pathlib import Path

from . import code_cost, flooding, grep, identifiers, limits, localize_systems, memory, overhead, retrieval, scale, scaling, scan, serving, \
    throughput

BEGIN = "<!-- results:begin (written by `python -m bench`; edit outside these markers) -->"
END = "<!-- results:end -->"


def verdict(met: bool) -> str:
    return "met" if met else "**missed**"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def machine_section(machine: dict[str, object]) -> str:
    return "### Machine\n\n" + table(["", ""], [[key, str(value)] for key, value in machine.items()])


OUTCOMES = ("met", "within noise", "**missed**")


def target_outcome(row: dict[str, object], other: str, target: float) -> int:
    """0 when the median ratio meets the target, 1 when only the first quartile
    does (the rounds disagree), 2 otherwise; a comparison not measured counts as met."""
    if f"compiled_vs_{other}" not in row:
        return 0
    if row[f"compiled_vs_{other}"] <= target:
        return 0
    q1, _ = row.get(f"compiled_vs_{other}_quartiles", (float("inf"), None))
    return 1 if q1 <= target else 2


def spread(row: dict[str, object], other: str) -> str:
    """The median ratio and, when measured, the quartiles of the per-round ratios."""
    if f"compiled_vs_{other}" not in row:
        return "n/a"
    text = f"{row[f'compiled_vs_{other}']:.2f}"
    if f"compiled_vs_{other}_quartiles" in row:
        q1, q3 = row[f"compiled_vs_{other}_quartiles"]
        text += f" ({q1:.2f}-{q3:.2f})"
    return text


def dispatch_note(dispatch: dict[str, float]) -> str:
    measured = ", ".join(f"{name} {ns:.1f} ns" for name, ns in dispatch.items())
    return ("\n\nCalibration, a call that does nothing: " + measured + ". A type of one's own with a vectorcall "
            "slot, as the frame's function type is, costs no more to reach than a builtin function.")


def overhead_section(result: dict[str, object]) -> str:
    rows = []
    for row in result["rows"]:
        ns = row["ns"]
        outcome = max(target_outcome(row, "floor", overhead.TARGET_VS_FLOOR), target_outcome(row, "pure", 1.0))
        rows.append([row["row"], f"{ns['compiled']:.0f}", f"{ns['pure']:.0f}" if "pure" in ns else "n/a",
                     f"{ns['floor']:.0f}", spread(row, "pure"), spread(row, "floor"), OUTCOMES[outcome]])
    return (
        "### 1. Call overhead (fake core)\n\n"
        f"Nanoseconds of CPU time per call, median of {result['repeats']} interleaved rounds, net of the "
        "timing loop. Ratios are the medians of the per-round ratios. Targets: compiled / plain Python "
        f"at most 1.00 and compiled / floor at most {overhead.TARGET_VS_FLOOR:.2f}; the quartiles of the "
        "per-round ratios follow each median.\n\n"
        + table(["operation", "(a) compiled", "(b) plain Python", "(c) floor", "(a)/(b)", "(a)/(c)", "targets"],
                rows)
        + (dispatch_note(result["dispatch"]) if "dispatch" in result else ""))


def throughput_section(result: dict[str, object]) -> str:
    rows = [[f"({row['key']}) {row['label']}", f"{row['mb_s']:.1f}", f"{row['seconds']:.3f}", str(row["repeats"])]
            for row in result["rows"]]
    ratios = result["ratios"]
    checks = table(["target", "measured", ""], [
        [f"(b) at least {throughput.TARGET_VS_CODE_AWARE:g}x (e)", f"{ratios['b_vs_e']:.2f}x",
         verdict(ratios["b_vs_e"] >= throughput.TARGET_VS_CODE_AWARE)],
        [f"(b) at least {throughput.TARGET_VS_DEFAULT:g}x (d)", f"{ratios['b_vs_d']:.2f}x",
         verdict(ratios["b_vs_d"] >= throughput.TARGET_VS_DEFAULT)],
        [f"(a) at least {throughput.TARGET_CORE_MB_S:g} MB/s on one core", f"{ratios['a_mb_s']:.1f} MB/s",
         verdict(ratios["a_mb_s"] >= throughput.TARGET_CORE_MB_S)],
    ])
    stages = ""
    if "stages" in result:
        total = sum(result["stages"].values())
        stages = "\n\nWhere (b) spends its time, each step timed alone on the whole corpus:\n\n" + table(
            ["step", "seconds", "share"],
            [[name, f"{s:.3f}", f"{s / total:.0%}"] for name, s in result["stages"].items()])
        reply = result["reply"]
        stages += (f"\n\nThe reply holds {reply['terms']:,} terms in {reply['reply_megabytes']:.1f} MB of JSON: "
                   f"{reply['bytes_per_term']:.1f} bytes per term.")
    return (
        "### 2. Throughput on the standard-library corpus\n\n"
        f"{result['files']} `.py` files, {result['megabytes']:.1f} MB as UTF-8 ({len(result['skipped'])} "
        "files skipped: test inputs with deliberately broken encodings). MB/s = corpus MB / median CPU "
        "seconds of the calling thread for the whole corpus; the service runs without a character limit "
        "so that every variant handles every byte.\n\n"
        + table(["variant", "MB/s", "seconds", "repeats"], rows) + "\n\n" + checks + stages)


def scaling_section(result: dict[str, object]) -> str:
    threads = result["threads"]
    rows = []
    for row in result["rows"]:
        rows.append([row["label"]] + [f"{row['mb_s'][t]:.1f}" for t in threads]
                    + [f"{row['speedup'][t]:.2f}x" for t in threads[1:]]
                    + [" / ".join(f"{row['cores_busy'][t]:.2f}" for t in threads)])
    core = next(row for row in result["rows"] if row["key"] == "core")
    two = core["speedup"][2]
    return (
        "### 3. Thread scaling\n\n"
        f"MB/s of wall time for the whole corpus split into equal-size shards, one per thread, median of "
        f"{result['repeats']} interleaved rounds. Target: the core alone with 2 threads at least "
        f"{scaling.TARGET_TWO_THREADS:g}x one thread (measured {two:.2f}x: {verdict(two >= scaling.TARGET_TWO_THREADS)}).\n\n"
        + table(["workload"] + [f"{t} thread{'s' if t > 1 else ''} MB/s" for t in threads]
                + [f"speed-up {t} threads" for t in threads[1:]]
                + ["cores busy (" + " / ".join(map(str, threads)) + ")"], rows)
        + "\n\nCores busy is the process's CPU time over the wall time: below the thread count where threads "
        "wait for the interpreter lock, or for a core that other jobs on the machine hold.")


def memory_section(result: dict[str, object]) -> str:
    mib = 1 << 20
    rows = []
    for row in result["rows"]:
        rows.append([row["label"], f"{row['rss_before'] / mib:.0f}", f"{row['peak_rss'] / mib:.0f}",
                     f"{row['extra'] / mib:.0f}", f"{row['extra_vs_corpus']:.2f}x"])
    batch = next(row for row in result["rows"] if row["key"] == "batch")
    return (
        "### 4. Peak memory, whole corpus in one batch\n\n"
        "MiB of resident memory in a fresh interpreter: before the call (interpreter, corpus and the call's "
        "input), the peak during the call, and the difference. Target: the end-to-end call's extra memory "
        f"under {memory.TARGET_VS_CORPUS:g}x the corpus bytes (measured {batch['extra_vs_corpus']:.2f}x: "
        f"{verdict(batch['extra_vs_corpus'] < memory.TARGET_VS_CORPUS)}).\n\n"
        + table(["variant", "RSS before", "peak RSS", "extra", "extra / corpus"], rows))


def flooding_section(result: dict[str, object]) -> str:
    rows = [[row["label"], f"{row['bytes'] / 1e3:.0f}", f"{row['ms']:.2f}", f"{row['random_ms']:.2f}",
             f"{row['ratio']:.2f}x ({row['quartiles'][0]:.2f}-{row['quartiles'][1]:.2f})"]
            for row in result["rows"]]
    return (
        "### 5. Crafted tokens against the counting tables\n\n"
        f"One `sparse_embed_single` of {result['distinct']} distinct tokens, each {result['repeats_per_token']} "
        "times in a shuffled order, against random tokens of the same length and number: milliseconds of CPU "
        "time (medians of interleaved rounds) and the median of the per-round ratios with their quartiles. "
        f"Target: the worst at most {flooding.TARGET_RATIO:g}x random (measured {result['worst']:.2f}x: "
        f"{verdict(result['worst'] <= flooding.TARGET_RATIO)}).\n\n"
        + table(["crafted text", "kB", "ms", "random ms", "crafted / random"], rows))


def ratio_outcome(ratio: float, quartiles: tuple[float, float], target: float, strictly: bool) -> int:
    """As ``target_outcome``: 0 when the median ratio is under the target (or at it,
    unless ``strictly``), 1 when only the first quartile is, 2 otherwise."""
    def meets(value: float) -> bool:
        return value < target if strictly else value <= target
    return 0 if meets(ratio) else 1 if meets(quartiles[0]) else 2


def quartile_text(ratio: float, quartiles: tuple[float, float], unit: str = "") -> str:
    return f"{ratio:.2f}{unit} ({quartiles[0]:.2f}-{quartiles[1]:.2f})"


def scan_section(result: dict[str, object]) -> str:
    tree, tools = result["tree"], result["tools"]
    rows = {row["key"]: row for row in result["rows"]}
    listing = table(["contender", "command", "files", "wall ms", "CPU ms", "cores busy", "wall / git", "CPU / git"], [
        [row["label"], f"`{row['command']}`", f"{row['files']:,}", f"{row['wall_ms']:.0f}", f"{row['cpu_ms']:.0f}",
         f"{row['cpu_ms'] / row['wall_ms']:.2f}" if row["wall_ms"] > 0 else "n/a",
         quartile_text(row["wall_vs_git"], row["wall_vs_git_quartiles"])
         + (" (vs git with them)" if row["vs"] != "git" else ""),
         quartile_text(row["cpu_vs_git"], row["cpu_vs_git_quartiles"])]
        for row in result["rows"]])
    labels = {row["key"]: row["label"] for row in result["rows"]}
    peers = table(["scanner row", "against", "wall ratio", "CPU ratio"], [
        [labels[peer["row"]], labels[peer["peer"]], quartile_text(peer["wall"], peer["wall_quartiles"]),
         quartile_text(peer["cpu"], peer["cpu_quartiles"])] for peer in result["peers"]])
    mib = 1 << 20
    memory_rows = {row["key"]: row for row in result["memory"]}
    memory_table = table(["variant", "files", "RSS before MiB", "peak RSS MiB", "extra MiB", "bytes per file"], [
        [row["label"], f"{row['files']:,}", f"{row['rss_before'] / mib:.1f}", f"{row['peak_rss'] / mib:.1f}",
         f"{row['extra'] / mib:.1f}", f"{row['bytes_per_file']:.0f}"] for row in result["memory"]])
    two, one = rows["core-2"], rows["core-1"]
    worst_memory = max(memory_rows["core-1"]["bytes_per_file"], memory_rows["core-2"]["bytes_per_file"])
    goals = table(["goal", "measured", ""], [
        ["scanner, 2 threads, faster than git (wall time)",
         quartile_text(two["wall_vs_git"], two["wall_vs_git_quartiles"], "x"),
         OUTCOMES[ratio_outcome(two["wall_vs_git"], two["wall_vs_git_quartiles"], 1.0, strictly=True)]],
        ["scanner, 1 thread, not slower than git (wall time)",
         quartile_text(one["wall_vs_git"], one["wall_vs_git_quartiles"], "x"),
         OUTCOMES[ratio_outcome(one["wall_vs_git"], one["wall_vs_git_quartiles"], 1.0, strictly=False)]],
        [f"scanner memory under {scan.TARGET_BYTES_PER_FILE} bytes per file listed (worse of 1 and 2 threads)",
         f"{worst_memory:.0f} bytes", verdict(worst_memory < scan.TARGET_BYTES_PER_FILE)],
    ])
    return (
        "### 6. Listing a repository's files\n\n"
        f"The tree of `bench/scan_tree.py`: {tree['files']:,} files in {tree['folders']:,} folders with "
        f"{tree['ignore_files']} `.gitignore` files; {tree['listed']:,} files are left by the ignore files "
        f"({tree['listed_builtin']:,} with the scanner's built-in patterns as well). Every contender lists the "
        "files it would index into a pipe; all list the same files (checked before timing: the counts of every "
        "row, and the paths of the scanner's rows against git's). Milliseconds of wall time and of CPU time "
        f"(all threads of the process, or of the child that lists), medians of {result['repeats']} interleaved "
        "rounds; the ratios are the medians of the per-round ratios against git, with their quartiles. Cores "
        "busy is CPU over wall time: under 2 for a two-thread row, another job held the second core. "
        f"Measured {result['date']}, load average {result['load_average']}; {tools['git']}, {tools['ripgrep']}, "
        f"{tools['fd']}, pathspec {tools['pathspec']}.\n\n"
        + listing + "\n\n"
        "Flags: git reads no system or user configuration (`GIT_CONFIG_NOSYSTEM=1`, `GIT_CONFIG_GLOBAL=/dev/null`) "
        "and ripgrep and fd get an empty `HOME`, so every contender reads exactly the tree's own ignore files. "
        "ripgrep and fd list dot files (`--hidden`, as git does), leave `.git` out by name and read no ignore "
        "file above the tree (`--no-ignore-parent`); they honour `.gitignore` and `.git/info/exclude` by "
        "default. The scanner's rows replace the built-in patterns by none, except the one that keeps them, "
        "which is timed against git given the same patterns as an exclude file. No contender differs by "
        "design on this tree: it holds no symbolic links, special files or nested repositories, on which "
        "they do.\n\n"
        "The scanner against each peer doing the same work (the same number of threads), medians of the "
        "per-round ratios:\n\n" + peers + "\n\n"
        "Peak memory of one call in a fresh interpreter (`python -m bench.scan memory VARIANT ROOT`): the "
        "resident memory before the call, its peak while the result is kept, and the growth per file "
        "listed.\n\n" + memory_table + "\n\n" + goals)


def retrieval_section(result: dict[str, object]) -> str:
    corpus, tools = result["corpus"], result["tools"]

    def figure(row: dict[str, object], key: str) -> str:
        return f"{row[key]:.3f}" if row["status"] == "measured" else retrieval.NOT_BUILT

    quality = table(["contender", "MRR@10", "recall@1", "recall@10"], [
        [row["label"], figure(row, "mrr10"), figure(row, "recall1"), figure(row, "recall10")]
        for row in result["quality"]])

    def per_threads(row: dict[str, object], key: str, threads: int, form: str) -> str:
        return format(row[f"{key}_{threads}"], form) if threads in row["threads"] else "n/a"

    speed_rows = [
        [row["label"], f"{row['build_mb_s']:.1f}", f"{row['build_cores_busy']:.2f}",
         per_threads(row, "qps", 1, ",.0f"), per_threads(row, "p99_ms", 1, ".2f"),
         per_threads(row, "qps", 2, ",.0f"), per_threads(row, "p99_ms", 2, ".2f"),
         f"{row['megabytes_on_disk']:.1f}",
         quartile_text(row["build_mb_s_vs_bm25s"], row["build_mb_s_vs_bm25s_quartiles"], "x"),
         quartile_text(row["qps_1_vs_bm25s"], row["qps_1_vs_bm25s_quartiles"], "x")]
        for row in result["speed"]]
    speed_rows += [[label] + [retrieval.NOT_BUILT] + ["n/a"] * 8 for label in result["not_timed"]]
    speed = table(["contender", "build MB/s", "cores busy", "queries/s", "p99 ms", "queries/s, 2 threads",
                   "p99 ms, 2 threads", "on disk MB", "build / bm25s", "queries/s / bm25s"], speed_rows)
    product = result["product"]
    if product["status"] == "measured":
        product_text = (f"MRR@10 {product['mrr10']:.3f}, recall@1 {product['recall1']:.3f}, "
                        f"recall@10 {product['recall10']:.3f}.")
        if "files_mb_s_1" in product:
            bm25s_build = next(row["build_mb_s"] for row in result["speed"] if row["key"] == "bm25s")
            product_text += (f" Built from the files on disk by `Index.update` (read, chunked, tokenised, written): "
                             f"{product['files_mb_s_1']:.0f} MB/s with one thread, {product['files_mb_s_2']:.0f} "
                             f"MB/s with two, {product['files_mb_s_2'] / bm25s_build:.1f}x bm25s's build above.")
    else:
        product_text = f"the package's index is {retrieval.NOT_BUILT}; the copy and its queries are ready."
    truncated = (f"{corpus['truncated']:,} documents are longer than the default profile's limit of "
                 f"{corpus['max_text_chars']:,} characters and are cut there"
                 if corpus["max_text_chars"] is not None else "the default profile has no character limit")
    return (
        "### 7. Retrieval: a function found from its docstring's first sentence\n\n"
        f"The corpus of `bench/retrieval_corpus.py`: {corpus['documents']:,} functions, methods and classes of the "
        f"standard library, outside its test suites and without what functions define inside their bodies, "
        f"{corpus['megabytes']:.1f} MB of source once every docstring inside them is removed. "
        f"Each docstring's first sentence (to the first blank line or \". \") is a query whose one relevant "
        f"document is the object it came from: {corpus['queries']:,} queries, after dropping "
        f"{corpus['dropped']['short']:,} sentences of fewer than {corpus['min_query_words']} words and "
        f"{corpus['dropped']['duplicate']:,} that two or more docstrings share. Every object is a document, "
        f"with a query or not. Measured {result['date']}, load average {result['load_average']}; "
        f"bm25s {tools['bm25s']}, tantivy {tools['tantivy']}.\n\n"
        + quality + "\n\n"
        "![Retrieval quality and build speed](bench-retrieval.png)\n\n"
        "Each contender with its own defaults. bm25s's default tokenizer is `bm25s.tokenize` as it comes (lower "
        "case, words of two or more word characters, English stop words dropped). The code-aware row gives bm25s "
        "the core's tokens of each document and query (`sparse_explain` under the package's default profile, "
        f"each token repeated as often as it occurs); {truncated}. Tantivy's queries have every character that "
        "is not a letter or digit made a space and are lower-cased, which its default tokenizer does anyway: "
        "no query syntax is left and every query parses as the disjunction of its words.\n\n"
        f"Speed, the contenders taking turns in each of {result['repeats']} rounds, medians: a fresh index built "
        "from the documents' text (MB/s of wall time, tokenising included; cores busy is CPU over wall time), "
        "saved, then every query one at a time on one thread (and on two for the package's index, each thread "
        "half of the queries), the ten best kept as document numbers; p99 is the 99th percentile of a query's "
        "wall time. The ratios against bm25s are the medians of the per-round ratios, with their quartiles.\n\n"
        + speed + "\n\n"
        f"The product path: the package's index over a copy of the {product['files']:,} library files, every "
        "docstring replaced by `...` and blank lines so that no line moves, each query answered by a file and a "
        f"line range that must hold the object's definition line: {product_text}")


def limits_section(result: dict[str, object]) -> str:
    rows, goals = [], []
    for row in result["rows"]:
        share, mb_s = row["share"], row["mb_s"]
        rows.append([
            f"{row['label']}: {row['texts']:,} texts, {row['megabytes']:.1f} MB" + (" (made up)" if row["generated"] else ""),
            f"{mb_s['core batch']:.0f}", f"{row['ceiling_mb_s']['batch']:.0f}",
            quartile_text(share["batch"]["median"], share["batch"]["quartiles"]),
            f"{mb_s['core single']:.0f}", f"{row['ceiling_mb_s']['single']:.0f}",
            quartile_text(share["single"]["median"], share["single"]["quartiles"]),
            quartile_text(row["two_threads"]["median"], row["two_threads"]["quartiles"], "x"),
            f"{row['memory']['end_to_end']:.2f}x / {row['memory']['core']:.2f}x"])
        worst_share = min(share["batch"]["median"], share["single"]["median"])
        goals.append([row["name"], f"{worst_share:.2f}", verdict(worst_share >= limits.TARGET_SHARE),
                      f"{row['two_threads']['median']:.2f}x",
                      verdict(row["two_threads"]["median"] >= limits.TARGET_TWO_THREADS),
                      f"{row['memory']['end_to_end']:.2f}x", verdict(row["memory"]["end_to_end"] <= limits.TARGET_MEMORY)])
    pieces = table(["corpus"] + [f"{piece} MB/s" for piece in limits.PIECES], [
        [row["name"]] + [f"{row['mb_s'][piece]:,.0f}" for piece in limits.PIECES] for row in result["rows"]])
    simd = result["rows"][0]["simd_width"]
    return (
        "### 8. The core at the machine's limit\n\n"
        f"Each corpus through the core and through the ceiling of `bench/limits/ceiling.cpp` (classification "
        f"{simd}-bit SIMD here), taking turns in each of {result['repeats']} rounds; MB/s of CPU time of the calling "
        "thread, medians. The ceiling is the sum of the pieces' times; run in order, its pieces write the core's "
        "reply byte for byte (checked first). Share = ceiling time / core time, median of the per-round ratios "
        "(quartiles after it). Single texts: `sparse_embed_single` over each text against the ceiling without "
        "the parse. Two threads: wall time of one thread on the whole batch over two threads on two halves. "
        "Memory: extra resident memory of one whole-corpus batch over the corpus, end to end "
        "(`embed_batch`, records kept) / core alone (reply kept), each in a fresh interpreter. "
        f"Measured {result['date']}, load average {result['load_average']}.\n\n"
        + table(["corpus", "core batch MB/s", "ceiling MB/s", "share", "core single MB/s", "ceiling MB/s",
                 "share", "2 threads", "memory"], rows)
        + "\n\nThe pieces alone (copy is the reference, not part of the ceiling):\n\n" + pieces + "\n\n"
        + table(["corpus", f"share (worse of batch, single), target {limits.TARGET_SHARE:g}", "",
                 f"2 threads, target {limits.TARGET_TWO_THREADS:g}x", "",
                 f"memory end to end, target {limits.TARGET_MEMORY:g}x", ""], goals))


LOCALIZE_FIGURES = ("mrr10", "recall1", "recall5", "recall10", "all10")


def localize_table(systems: dict[str, dict[str, object]], labels: dict[str, str], timed: bool) -> str:
    header = ["system", "MRR@10", "recall@1", "recall@5", "recall@10", "all@10"]
    rows = []
    for key, row in systems.items():
        rows.append([labels[key]] + [f"{row[figure]:.3f}" for figure in LOCALIZE_FIGURES]
                    + ([f"{row['build_s']:.2f}", f"{row['query_ms']:.1f}"] if timed else []))
    return table(header + (["build s", "ms/query"] if timed else []), rows)


def localize_section(result: dict[str, object]) -> str:
    heading = "### 9. Localisation: the files a commit changed, found from its message\n\n"
    if result["status"] != "measured":
        return heading + f"The package's index is {result['status']}."
    labels, tools = result["labels"], result["tools"]
    projects = result["projects"]
    unlisted = sum(project["unlisted_targets"] for project in projects)
    ask = ("`search(query, k=10, files=True)`" if result["mode"] == "files" else
           "chunks (`search(query, k)`, k from 40 up by fourfold until ten files are among them), each file "
           "ranked by its best chunk")
    sizes = ", ".join(f"{p['name']} {p['files']}" for p in projects)
    per_project = "\n\n".join(f"**{p['name']}** ({p['files']} files, {p['queries']} queries)\n\n"
                               + localize_table(p["systems"], labels, timed=True) for p in projects)
    return (
        heading
        + f"The data of `shared/data/localize` (its README.md): {len(projects)} projects, each a snapshot tree and "
        f"{sum(p['queries'] for p in projects):,} later commits in all, whose cleaned messages are the queries and "
        "whose changed source files (not tests or docs) are the targets. Every system is built over the same "
        "files of the extracted tree: those the package's scanner lists that the index takes as text (no NUL "
        f"byte in the first 8 KiB, at most 1 MiB): {sizes}; {unlisted} targets are outside them. File-level "
        "figures (`bench/file_ranking.py`): r = the rank of the first target among the ten files answered, "
        "MRR@10 the mean of 1/r (0 when none), recall@n the share of queries with r <= n, all@10 the share with "
        "every target in the ten. A system ranking chunks ranks a file by its best chunk (files in order of "
        f"first appearance). Measured {result['date']}, load average {result['load_average']}; bm25s "
        f"{tools['bm25s']}, tantivy {tools['tantivy']}.\n\n"
        "Every baseline prepares the query alike: `bm25s.tokenize` with its English stop words (lower case, words "
        "of two or more word characters). The bm25s rows (its defaults, k1 1.5, b 0.75) index words made the same "
        f"way: of each whole file; of each {localize_systems.WINDOW_LINES}-line window, none overlapping, a file "
        "ranked by its best window; of the file's path and defined names only (path parts split at "
        "`/ . _ -` and camelCase, and for `.py` files the functions, classes and assignment targets at module "
        "or class level by `ast`, each name whole and in its parts). Tantivy indexes whole files with its "
        "default tokenizer and is given the query's words joined by spaces. Results of score 0 are dropped. "
        f"The package's index (`Index.for_repository` and `update` over the tree) gets the query as typed and "
        f"is asked for {ask}.\n\n"
        f"Pooled over all {sum(p['queries'] for p in projects):,} queries:\n\n"
        + localize_table(result["pooled"], labels, timed=False)
        + f"\n\nvorpaline's pooled MRR@10 over the best baseline's ({labels[result['best_baseline']]}): "
        f"**{result['vs_best']:.2f}x**.\n\n" + per_project)


def identifiers_section(result: dict[str, object]) -> str:
    heading = "### 10. Identifiers: a definition found from the bare name\n\n"
    if result["status"] != "measured":
        return heading + f"The package's index is {result['status']}."
    figures = [["first hit holds the definition (recall@1)", f"{result['recall1']:.3f}"],
               ["MRR@10", f"{result['mrr10']:.3f}"], ["recall@10", f"{result['recall10']:.3f}"]]
    if result.get("line_rank1") is not None:
        figures.append(["first hit's `line` is the definition's", f"{result['line_rank1']:.3f}"])
    listing = result.get("definitions")
    if listing is not None:
        figures += [["`definitions(name)` lists the definition", f"{listing['found']:.3f}"],
                    ["entries listed, all names", f"{listing['listed']:,}"],
                    ["entries that are no definition by `ast`", f"{listing['not_definitions']:,}"]]
    else:
        figures.append(["`definitions(name)`", "not in this index yet"])
    return (
        heading
        + f"A copy of the {result['files']:,} `.py` files of `{result['root']}` outside its test suites and "
        "third-party folders (by table 7's rule) that parse and that the scanner lists and the index takes. A name "
        "qualifies when the tree defines it exactly once, as a function or class at module level or in a class "
        "body (no other `def` or `class` anywhere, no module- or class-level assignment to it), is no dunder, and "
        f"occurs as a word in at least {identifiers.MIN_OTHER_FILES} other files: {result['candidates']:,} do; "
        f"{result['queries']} drawn with seed {result['seed']} are the queries, each the bare name. A hit is right "
        "when its file is the definition's and its line range holds the `def`/`class` line. For "
        "`definitions(name)`, an entry is the definition when it names its file and its `def`/`class` line or "
        "its first decorator's, and is no definition when `ast` sees no `def`, `class` or assignment to the name "
        f"at that line of that file. Measured {result['date']}, load average {result['load_average']}.\n\n"
        + table(["figure", "vorpaline"], figures))


def spread_text(figure: dict[str, float], form: str = ".1f", unit: str = "") -> str:
    """A figure's median over the rounds and, when they differ, its lowest and highest."""
    low, high = f"{figure['low']:{form}}", f"{figure['high']:{form}}"
    return f"{figure['median']:{form}}{unit}" + (f" ({low}-{high})" if low != high else "")


def goal_outcome(figure: dict[str, float], target: float, at_least: bool) -> str:
    """Met when the median meets the target, within noise when only the best
    round does, missed otherwise."""
    def meets(value: float) -> bool:
        return value >= target if at_least else value <= target
    best = figure["high"] if at_least else figure["low"]
    return OUTCOMES[0 if meets(figure["median"]) else 1 if meets(best) else 2]


def code_cost_build_table(result: dict[str, object]) -> str:
    mib = 1 << 20
    rows = []
    for key, row in result["rows"].items():
        versioned = "mb_s_1" in row
        index = row["index_bytes"]
        rows.append([
            code_cost.ROWS[key], spread_text(row["mb_s_2"]), spread_text(row["mb_s_1"]) if versioned else "n/a",
            spread_text(row["cores_busy_2"], ".2f"),
            spread_text({k: v / mib for k, v in row["peak_rss"].items()}, ".0f"),
            f"{index / 1e6:.0f}" if index else "n/a",
            f"{index / result['text_bytes']:.2f}" if index else "n/a"])
    return table(["row", "build MB/s, 2 threads", "1 thread", "cores busy, 2 threads", "peak RSS MiB, 2 threads",
                  "index MB", "index / text"], rows)


def code_cost_versions(result: dict[str, object]) -> str:
    """The queries of both versions, their ratios and the goals."""
    rows = result["rows"]
    if not result["old_measured"]:
        return f"vorpaline at {code_cost.OLD_COMMIT} was not built (no `{result['tools']['old python']}`)."
    latency = table(["row", "p50 ms", "p99 ms"], [
        [code_cost.ROWS[key], spread_text(rows[key]["p50_ms"], ".2f"), spread_text(rows[key]["p99_ms"], ".2f")]
        for key in ("new", "old")])
    vs = result["vs_old"]
    names = {"mb_s_2": "build MB/s, 2 threads", "mb_s_1": "build MB/s, 1 thread", "p50_ms": "query p50",
             "p99_ms": "query p99", "index_bytes": "index size", "peak_rss": "peak RSS, 2 threads"}
    ratios = table(["new / old", "ratio"], [[name, spread_text(vs[key], ".2f", "x")] for key, name in names.items()])
    new = rows["new"]
    goals = table(["goal", "measured", ""], [
        [f"build at least {code_cost.TARGET_BUILD_MB_S:g} MB/s with 2 threads",
         spread_text(new["mb_s_2"], unit=" MB/s"), goal_outcome(new["mb_s_2"], code_cost.TARGET_BUILD_MB_S, True)],
        *[[f"query {name} within {code_cost.TARGET_QUERY_VS_OLD:g}x of {code_cost.OLD_COMMIT}",
           spread_text(vs[key], ".2f", "x"), goal_outcome(vs[key], code_cost.TARGET_QUERY_VS_OLD, False)]
          for key, name in (("p50_ms", "p50"), ("p99_ms", "p99"))],
        [f"index size within {code_cost.TARGET_SIZE_VS_OLD:g}x of {code_cost.OLD_COMMIT}",
         spread_text(vs["index_bytes"], ".2f", "x"), goal_outcome(vs["index_bytes"], code_cost.TARGET_SIZE_VS_OLD, False)]])
    return ("Queries on each round's two-thread index, one at a time on one thread (`Index.open` once, the 300 "
            "queries once untimed, then once timed; `search(query, k=10)`):\n\n" + latency + "\n\n"
            + ratios + "\n\n" + goals)


def code_cost_section(result: dict[str, object]) -> str:
    heading = "### 11. What code-aware indexing costs\n\n"
    if result["status"] != "measured":
        return heading + f"Not measured: {result['status']}."
    parsing, queries, tools = result["parsing"], result["queries"], result["tools"]
    examples = "; ".join(f"`{text}`" for texts in result["query_examples"].values() for text in texts)
    return (
        heading
        + f"`{result['root']}`, site-packages included ({result['disk_bytes'] / 1e9:.2f} GB on disk): the "
        f"{result['files']:,} files the scanner lists that the index takes as text (no NUL byte in the first 8 KiB, "
        f"at most 1 MiB), {result['text_bytes'] / 1e6:.0f} MB. Each build is from nothing, in a process of its own "
        "(`bench/code_cost_worker.py`), the rows taking turns in each of "
        f"{result['rounds']} rounds; figures are medians over the rounds with the lowest and highest after them, "
        "ratios the medians of the per-round ratios. MB/s = bytes of the files indexed / wall seconds of the build "
        "(for the package, `Index.create` then `update(root, threads=N)`). The version before is the package at "
        f"commit {code_cost.OLD_COMMIT}, built into a venv of its own and run by its interpreter in the same run. "
        "bm25s reads the same files and indexes each whole with `bm25s.tokenize` as it comes; it has one thread "
        "whatever it is given. `cindex` (codesearch, one thread) indexes a copy of the same files: it skips those "
        "with very long lines or bytes that are not UTF-8, and took "
        f"{result['cindex_accepted_bytes'] / 1e6:.0f} MB of them; its MB/s is over the whole copy. Peak RSS is "
        "the build process's (interpreter and package included). "
        f"Measured {result['date']}, load average {result['load_average']} before and "
        f"{result['load_average_after']} after; bm25s {tools['bm25s']}, codesearch {tools['codesearch']}.\n\n"
        + code_cost_build_table(result) + "\n\n"
        f"The queries: {queries['identifiers']} names that the tree's functions, classes and methods define and "
        f"{queries['sentences']} first sentences of their docstrings of {code_cost.SENTENCE_WORDS[0]} to "
        f"{code_cost.SENTENCE_WORDS[1]} words, drawn from {code_cost.PARSED_FILES:,} of the tree's `.py` files "
        f"with seed {code_cost.SEED}, the same for both versions (first of each kind: {examples}).\n\n"
        + code_cost_versions(result) + "\n\n"
        "Parsing's share of the build: a two-thread build of the package with no grammar registered "
        "(`vorpaline.languages.ensure_registered` replaced, in the worker, by one that registers nothing and "
        "answers that no language has a parser), so every file is chunked by lines and nothing is parsed, took "
        f"{spread_text(parsing['share'], '.0%')} less wall time than the build with the grammars "
        f"({spread_text(parsing['mb_s'], unit=' MB/s')}; {parsing['chunks']:,} chunks against "
        f"{result['rows']['new']['chunks']:,}, index {parsing['index_bytes'] / 1e6:.0f} MB). That share is the "
        "parse with the tags queries and what follows from it: definition chunks and their names field. "
        f"Registering the grammars ({', '.join(result['registering']['languages'])}), which every build in a "
        f"fresh process pays once and which is in the builds' times, takes {result['registering']['seconds']:.2f} s."
        + code_cost_reference(result["reference_parse"]))


def code_cost_reference(reference: dict[str, object]) -> str:
    if "error" in reference:
        return f" The binding's own speed was not measured: {reference['error']}."
    megabytes = reference["bytes"] / 1e6
    return (f" For scale, the py-tree-sitter binding ({reference['binding']}) on the same {reference['files']:,} "
            f"`.py` files ({megabytes:.1f} MB), CPU time of one thread: the parse "
            f"{megabytes / reference['parse_seconds']:.1f} MB/s, the tags query over the trees "
            f"{megabytes / reference['query_seconds']:.1f} MB/s, both "
            f"{megabytes / (reference['parse_seconds'] + reference['query_seconds']):.1f} MB/s.")


# The tables' sections in document order: a partial run puts its own in place.
SECTIONS = (("overhead", overhead_section), ("throughput", throughput_section), ("scaling", scaling_section),
            ("memory", memory_section), ("flooding", flooding_section), ("scan", scan_section),
            ("retrieval", retrieval_section), ("limits", limits_section), ("localize", localize_section),
            ("identifiers", identifiers_section), ("code_cost", code_cost_section), ("serving", serving.section),
            ("grep", grep.section), ("scale", scale.section))


def render(results: dict[str, object]) -> str:
    sections = [machine_section(results["machine"])]
    for key, section in SECTIONS:
        if key in results:
            sections.append(section(results[key]))
    if "plots" in results:
        sections.append("\n".join(f"![{name}]({path})" for name, path in results["plots"].items()))
    return "\n\n".join(sections)


def write(document: Path, results: dict[str, object]) -> None:
    """Replaces what lies between the markers; the rest of the document is kept.
    A document without the markers gets them, with the results, at its end."""
    block = f"{BEGIN}\n\n{render(results)}\n\n{END}"
    text = document.read_text(encoding="utf-8") if document.exists() else "# Benchmarks\n"
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        text = head + block + rest.split(END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    document.write_text(text, encoding="utf-8")


def section_number(chunk: str) -> float:
    """Where a chunk of the results block stands: the machine first, the tables
    by their number, the plots last."""
    heading = chunk.split("\n", 1)[0]
    if heading.startswith("### ") and heading[4:].split(".", 1)[0].isdigit():
        return int(heading[4:].split(".", 1)[0])
    return 0 if heading.startswith("### ") else float("inf")


def chunks_of(block: str) -> list[str]:
    """The results block cut before each section heading and before the plots: the
    images that end the block (a section's own image, with text after it, stays in it)."""
    chunks: list[str] = []
    lines = block.strip("\n").split("\n")
    plots_from = len(lines)
    while plots_from > 0 and (lines[plots_from - 1].startswith("![") or not lines[plots_from - 1].strip()):
        plots_from -= 1
    for at, line in enumerate(lines):
        starts = line.startswith("### ") or (at >= plots_from and line.startswith("![") and
                                             not (chunks and chunks[-1].startswith("![")))
        if starts or not chunks:
            chunks.append(line)
        else:
            chunks[-1] += "\n" + line
    return [chunk.strip("\n") for chunk in chunks if chunk.strip()]


def update(document: Path, results: dict[str, object]) -> None:
    """Replaces only the sections of the tables in ``results`` within the results
    block, or puts them in their place among the others; the machine section,
    the other tables and the plots are kept as they stand. Without a results
    block the document gets one, as ``write`` makes it."""
    text = document.read_text(encoding="utf-8") if document.exists() else ""
    if not (BEGIN in text and END in text):
        write(document, results)
        return
    head, rest = text.split(BEGIN, 1)
    block, tail = rest.split(END, 1)
    chunks = chunks_of(block)
    for key, section in SECTIONS:
        if key not in results:
            continue
        new = section(results[key])
        number = section_number(new)
        kept = [chunk for chunk in chunks if section_number(chunk) != number]
        at = next((i for i, chunk in enumerate(kept) if section_number(chunk) > number), len(kept))
        chunks = kept[:at] + [new] + kept[at:]
    document.write_text(head + BEGIN + "\n\n" + "\n\n".join(chunks) + "\n\n" + END + tail, encoding="utf-8")
