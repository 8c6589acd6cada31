"""rg patterns translated to RE2 and planned as trigram queries, checked against rg itself.

Every case runs rg 13 over one corpus and the translated pattern through RE2, line by line: the
matching lines must agree (and, for some, the match spans). Every line the pattern matches must, on
its own trigrams, satisfy the query: that is what makes the index's candidate selection sound.
"""

import os
import random
import shutil
import subprocess
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vorpaline.search import grep_syntax
from vorpaline.search.grep_pattern import PatternError, compile_patterns, emit_charsets

LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"  # the wider random runs

re2 = pytest.importorskip("re2")
RG = shutil.which("rg")
needs_rg = pytest.mark.skipif(RG is None, reason="rg is not installed")

CORPUS = [
    "def should_parse(self):", "    def  should_fail_on_ERROR(x):", "foo bar baz", "FooBar", "foobar",
    "food", "a.b*c", "a+b", "x{2}", "[bracket] (paren) {brace}", "tab\there", "trailing space ",
    "", " ", "   leading", "caf\u00e9 CAF\u00c9", "stra\u00dfe STRASSE", "\u03b1\u03b2\u03b3 \u0391\u0392\u0393",
    "\u041f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440", "\u65e5\u672c\u8a9e\u306e\u6587", "\u212aelvin kelvin KELVIN",
    "\u017fong long", "digits 0123 \u0663\u0664 \u0967", "no\u00a0break\u2003em\u3000ideo",
    "under_score_", "x-y-z", "hello world", "hello, world!", "HELLO WORLD", "abcabcabc", "aaa", "ab",
    "k", "K", "s", "S", "\u00e9", "\u00c9", "z\u0301", "\u24b6\u24b7 circled", "emoji \U0001f600 here",
    "path/to/file.py:12", "C:\\dir\\file", "$dollar ^caret", "word1 word2 word3", "foo_bar foo-bar",
    "tab\t\tsep", "\x7f del", "\u2028line sep", "end.", "q?", "back\\slash", "semi;colon", "#hash",
    "x" * 40, "abab abab", "The quick brown fox", "jumps over the lazy dog", "1+1=2", "\u0130stanbul",
    "\u1e9e capital sharp", "\u00b5 micro \u03bc", "\u01c5 dz",
]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("grep") / "corpus.txt"
    path.write_text("\n".join(CORPUS) + "\n", encoding="utf-8")
    return path


def rg_lines(corpus, patterns, fixed=False, case="sensitive", word=False):
    """The 0-based line numbers rg matches, or the error it prints."""
    args = [RG, "--no-config", "-n", "--no-heading", "--color=never"]
    args += {"sensitive": ["-s"], "insensitive": ["-i"], "smart": ["-S"]}[case]
    args += ["-F"] * fixed + ["-w"] * word
    for p in patterns:
        args += ["-e", p]
    done = subprocess.run(args + ["--", str(corpus)], capture_output=True)
    if done.returncode == 2:
        return done.stderr.decode("utf-8", "replace")
    return {int(line.split(b":", 1)[0]) - 1 for line in done.stdout.splitlines()}


def re2_lines(grep):
    regex = re2.compile(grep.re2)
    return {i for i, line in enumerate(CORPUS) if regex.search(line)}


def trigram_keys(text: str) -> set[int]:
    data = bytes(b + 32 if 65 <= b <= 90 else b for b in text.encode())
    return {(data[i] << 16) | (data[i + 1] << 8) | data[i + 2] for i in range(len(data) - 2)}


def evaluate(query, keys) -> bool:
    if isinstance(query, bool):
        return query
    if isinstance(query, int):
        return query in keys
    (op, children), = query.items()
    return (all if op == "and" else any)(evaluate(q, keys) for q in children)


def check_against_rg(corpus, patterns, **options):
    expected = rg_lines(corpus, patterns, **options)
    if isinstance(expected, str):
        assert "regex parse error" in expected or "not allowed" in expected, expected
        with pytest.raises(PatternError) as raised:
            compile_patterns(patterns, **options)
        assert str(raised.value).startswith(("regex parse error", "the literal"))
        return None
    grep = compile_patterns(patterns, **options)
    assert re2_lines(grep) == expected, (patterns, options, grep.re2)
    for i in expected:
        assert evaluate(grep.query, trigram_keys(CORPUS[i])), (patterns, CORPUS[i], grep.query)
    return grep


TABLE = [
    # literals and escapes
    "foo", "Foo", "o b", r"a\.b", r"a\+b", r"\x7F", r"\x{e9}", r"\u{e9}", r"\u00e9", r"\U000000E9", r"\t",
    r"\x41", r"\$dollar", r"\^caret", r"\[bracket\]", r"\{brace\}", r"\\", r"\#hash", r"x\-y", r"\&", r"\~",
    r"\/", r"\<", r"\e", r"\%", r"\1", r"\0", r"\cA", r"\x{110000}", r"\x{D800}", r"\xZZ", r"\u12",
    # classes
    "[abc]", "[^abc]", "[a-c]x", "[z-a]", "[]a]", "[^]a]", "[a-]", "[-a]", "[a[bc]]", "[^a[bc]]",
    "[a-z&&[^aeiou]]+", "[a-z--b]ar", "[abc~~bcd]", "[a&&b]", "[[:alpha:]]+", "[[:^alpha:]]", "[[:digit:][:space:]]",
    "[[:word:]]{5}", "[[:punct:]]", "[[:upper:]]{3}", r"[\w]+", r"[^\W]", r"[\d]", r"[\s]", r"[^\s]", r"[\W\d]",
    r"[a\]]", r"[\x41-\x5a]{4}", "[]", "[^]", "[a",
    # Perl and Unicode classes
    r"\w+", r"^\w+$", r"\W", r"\d+", r"\D", r"\s", r"\S+", r"\s\s", r"\pL", r"\p{L}", r"\PL", r"\p{^L}", r"\p{Greek}",
    r"\p{greek}", r"\p{Cyrillic}+", r"\p{Han}", r"\p{Lu}", r"\p{Uppercase_Letter}", r"\p{gc=Nd}", r"\p{sc=Greek}",
    r"\p{Any}", r"\p{Cc}", r"\P{Cc}\P{Cc}", r"\p{Nope}", r"\pN", r"\p{N}",
    # dot, anchors
    ".", "^$", "^ $", "^.$", "^...$", r"\A\w", r"\w\z", r"\Aab\z", "(?-m)^k$", "(?s).x", r"\bfoo\b", r"\Bbar",
    r"world\b", r"\bK", "^", "$", "x^", "$x",
    # groups and flags
    "(foo)", "(?:foo)", "(?P<n>foo)", "(?<n>foo)", "(?P<1n>foo)", "(foo", "foo)", "(?i)foo", "(?i:foo)bar",
    "(?i)FOO(?-i)bar", "(?i)k", "(?i)s", "(?i)\u017f", "(?i)\u212a", "(?i)straSSe", "(?i)caf\u00c9",
    "(?i)[k]", "(?i)[a-c]b", r"(?i)\p{Lu}", "(?i)[[:upper:]]+", "(?i)[^a-z]", r"(?i)\W", r"(?i)[^\W]", "(?i)[^k]", "(?x)f o o  # comment", r"(?x)[a b]x", r"(?x)hello\ world", "(?U)a+", "(?i",
    "(?)", "(?z)", "(?i-i)k", "(a(b(c)))", "()", "(|a)", "a|", "|",
    # repetition
    "a*", "a+", "a?", "x{2}", r"x\{2\}", "a{3}", "a{2,}", "(ab){2}", "(abc){2,3}", "a{1,2}?", "a+?", "a**",
    "a{", "a{x", "a{,3}", "a{2,1}", "*a", "+", "x{40}", "x{41}", "(?:a|b){3}", "[ab]{2}[ab]",
    # alternation
    "foo|bar", "foo|", "^(foo|bar)$", "kelvin|long", "(?i)kelvin|long", "hello (world|there)",
    "a(b|c)d", r"\d+|\pL+", "(?:def|class) +should",
    # realistic
    r"def\s+should_\w+", r"fn \w+\(", r"^\s+def", r"\w+\.py:\d+", r"[A-Z][a-z]+[A-Z]", r"(\w+) \1",
    "quick.*fox", "o{2}d", r"(?i)hello,?\s+world", r"\$\w+", r"[^\x00-\x7f]+", r"\x{3000}", r"\x{2003}em",
    # without Unicode
    r"(?-u:\w)+", r"(?-u)\b\w", "(?-u).", r"(?-u)\W", "(?-u)[^a]", r"(?-u)\pL", "(?-u)\u00e9", r"\w(?-u:\d)",
    "(?i-u)k",
    # newlines
    r"\n", r"a\nb", r"[\n]", r"[\x0a]", r"\x0A", r"[^\n]", r"[\x00-\x7f]", "(?s)a.", "[\t-\r]",
]


@needs_rg
@pytest.mark.parametrize("pattern", TABLE)
def test_table_pattern_matches_rg(corpus, pattern):
    check_against_rg(corpus, [pattern])


@needs_rg
@pytest.mark.parametrize("options", [
    dict(case="insensitive"), dict(case="smart"), dict(word=True), dict(fixed=True), dict(fixed=True, word=True),
    dict(case="smart", word=True),
], ids=repr)
@pytest.mark.parametrize("patterns", [
    ["foo"], ["Foo"], ["kelvin"], ["KELVIN"], ["stra\u00dfe"], ["caf\u00e9"], ["CAF\u00c9"], ["\u00e9"], [r"\w+"],
    [r"\W"], ["a.b"], ["a+b"], ["x{2}"], ["(paren)"], ["$dollar"], ["bar", "Baz"], ["foo", "bar"], ["o b", "x-y"],
    ["word1"], ["word"], [r"\x41"], [r"\pL\pL"], ["[a-z]+"], ["hello"], ["s"], ["k"], ["\u212a"], ["\u03b1\u03b2"],
    ["back\\slash"], ["foo_bar"], ["e"], [""], ["", "q"], ["foo\nbar"], [r"\d"], ["\u0663"], ["z\u0301"], ["\u01c5"],
], ids=repr)
def test_options_match_rg(corpus, patterns, options):
    check_against_rg(corpus, patterns, **options)


@needs_rg
@pytest.mark.parametrize("case", ["sensitive", "smart"])
@pytest.mark.parametrize("patterns", [
    ["a(", ")b"], ["(?i)x", "k"], ["x(?i)", "K"], ["(?i)HELLO", "world"], ["foo", "(?x) b a r"], ["(", ")"],
    ["a", "(?i)"], ["[", "]"], ["", ""], ["foo\nbar"], ["foo", "(?x)fo\no"], ["(?x)#\n", "k"],
], ids=repr)
def test_patterns_join_as_rg_joins_them(corpus, patterns, case):
    check_against_rg(corpus, patterns, case=case)


@pytest.fixture(scope="module")
def every_character(tmp_path_factory):
    """One line per code point assigned in Unicode 14 (rg 13's and this Python's tables; RE2 knows later ones)."""
    import unicodedata

    assert unicodedata.unidata_version == "14.0.0"
    chars = [chr(c) for c in range(0xF0000) if c != 10 and unicodedata.category(chr(c)) not in ("Cn", "Cs")]
    path = tmp_path_factory.mktemp("grep") / "characters.txt"
    text = "\n".join(chars) + "\n"
    path.write_bytes(text.encode())
    return path, text.encode()


EVERY_CHARACTER_SHORT = {r"^\w$", r"^\s$", r"^\d$", r"(?i)^k$"}  # the rest with VORPALINE_LONG_TESTS=1


@needs_rg
@pytest.mark.parametrize("pattern", [
    r"^\w$", r"^\W$", r"^\s$", r"^\S$", r"^\d$", r"^\D$", "^.$", r"^\pL$", r"^\PL$", r"^\p{Greek}$",
    "(?i)^k$", "(?i)^s$", "(?i)^\u00e9$", "(?i)^\u03c3$", r"^[[:^alpha:]]$", r"^\p{Cc}$",
    r"^[^\w\s]$", r"(?i)^[^k]$", r"^\p{Nl}$",
])
def test_classes_match_rg_on_every_character(every_character, pattern):
    if not LONG and pattern not in EVERY_CHARACTER_SHORT:
        pytest.skip("every character, for the wider run")
    path, data = every_character
    out = subprocess.run([RG, "--no-config", "-a", "-b", "-o", "--", pattern, str(path)], capture_output=True).stdout
    expected = {int(line.split(b":", 1)[0]) for line in out.splitlines() if line}
    regex = re2.compile(compile_patterns([pattern]).re2.encode())
    assert {m.start() for m in regex.finditer(data)} == expected


# -- a seeded generator ---------------------------------------------------------------------------

PIECES_LITERAL = ["a", "b", "o", "foo", "bar", "K", "k", "s", "S", "\u00e9", "\u00c9", "\u03b1", "\u0391", "\u017f",
                  "\u212a", "l", " ", "_", "1", "\u0663", "\\.", "\\t", "x", "e", "\u65e5", "-", "\\$", "ß",
                  "hello", "kelvin", "world", "stra\u00dfe", "caf\u00e9", "\u03b1\u03b2\u03b3", "Foo", "should"]
PIECES_ATOM = [".", r"\w", r"\W", r"\d", r"\D", r"\s", r"\S", r"\pL", r"\p{Greek}", "[a-f]", "[^a-f]", "[kK]",
               "[[:alpha:]]", "[\u00e9\u00c9]", "[0-9]", "[a-z&&[^a-e]]", "[a-z--x]"]


def random_pattern(rng: random.Random, depth: int = 0) -> str:
    roll = rng.random()
    if depth > 2 or roll < 0.35:
        return rng.choice(PIECES_LITERAL if rng.random() < 0.6 else PIECES_ATOM)
    if roll < 0.6:
        return "".join(random_pattern(rng, depth + 1) for _ in range(rng.randint(2, 4)))
    if roll < 0.72:
        return "(?:" + "|".join(random_pattern(rng, depth + 1) for _ in range(rng.randint(2, 3))) + ")"
    if roll < 0.88:
        quantifier = rng.choice(["*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}", "+?", "*?"])
        return "(?:" + random_pattern(rng, depth + 1) + ")" + quantifier
    if roll < 0.94:
        return rng.choice(["^", r"\A", "(?i)", "(?-i)", "(?i:"]) + random_pattern(rng, depth + 1) + (
            ")" if rng.random() < 0 else "")
    return random_pattern(rng, depth + 1) + rng.choice(["$", r"\z"])


def random_case(seed: int):
    rng = random.Random(seed)
    patterns = []
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        pattern = random_pattern(rng)
        if "(?i:" in pattern:
            pattern = pattern.replace("(?i:", "(?i:(?:") + "))"
        patterns.append(pattern)
    options = dict(case=rng.choice(["sensitive", "insensitive", "smart"]), word=rng.random() < 0.2,
                   fixed=rng.random() < 0.1)
    return patterns, options


@needs_rg
@pytest.mark.parametrize("seed", range(300 if LONG else 80))
def test_random_pattern_matches_rg(corpus, seed):
    patterns, options = random_case(seed)
    check_against_rg(corpus, patterns, **options)


# -- spans ----------------------------------------------------------------------------------------

def rg_spans(corpus, patterns, **options):
    args = [RG, "--no-config", "-n", "--column", "-o", "--color=never", "-s"]
    args += ["-i"] * (options.get("case") == "insensitive") + ["-w"] * options.get("word", False)
    for p in patterns:
        args += ["-e", p]
    out = subprocess.run(args + ["--", str(corpus)], capture_output=True).stdout
    spans = set()
    for line in out.splitlines():
        number, column, text = line.split(b":", 2)
        start = int(column) - 1
        spans.add((int(number) - 1, start, start + len(text)))
    return spans


def re2_spans(grep):
    regex = re2.compile(grep.re2.encode())
    spans = set()
    for number, line in enumerate(CORPUS):
        data, pos = line.encode(), 0
        while pos <= len(data):
            found = regex.search(data, pos)
            if not found:
                break
            start, end = found.span(grep.match_group)
            spans.add((number, start, end))
            pos = end if end > start else end + 1
    return spans


@needs_rg
@pytest.mark.parametrize("patterns,options", [
    (["foo"], {}), (["o+"], {}), ([r"\w+"], {}), ([r"\s+"], {}), ([r"\d+"], {}), ([r"\pL+"], {}),
    ([r"[^ ]+"], {}), (["a+?b"], {}), (["(?i)k"], {}), (["k"], {"case": "insensitive"}), ([r"\W+"], {}),
    (["foo", "bar"], {}), (["o"], {"word": False}), (["foo"], {"word": True}), 
    (["word1", "word2"], {"word": True}), (["e"], {"word": True}),
    (["\u00e9"], {"word": True}), (["abab"], {"word": True}),
], ids=repr)
def test_spans_match_rg(corpus, patterns, options):
    grep = compile_patterns(patterns, **options)
    assert re2_spans(grep) == rg_spans(corpus, patterns, **options)


# -- soundness ----------------------------------------------------------------------------------

ALPHABET = "abkKsS\u017f\u212a\u00e9\u00c9\u03b1 _1-.\n"


@settings(max_examples=300, deadline=None)
@given(seed=st.integers(0, 10**9), text=st.text(alphabet=ALPHABET, max_size=60),
       planted=st.text(alphabet=ALPHABET.replace("\n", ""), max_size=12))
def test_query_holds_for_every_matching_line(seed, text, planted):
    patterns, options = random_case(seed)
    try:
        grep = compile_patterns(patterns, **options)
    except PatternError:
        return
    regex = re2.compile(grep.re2)
    for line in (text + "\n" + planted).split("\n"):
        if regex.search(line):
            assert evaluate(grep.query, trigram_keys(line)), (patterns, options, line, grep.query)


SAMPLE_POOL = "abcfoxyzkKsS\u017f\u212a\u00e9\u00c9\u03b1\u0391 _1\u0663-.\u65e5\t\u00dfl"


def case_variants(ch: str) -> list[str]:
    forms = {ch, ch.lower(), ch.upper(), ch.swapcase()}
    for fold in ("k\u212a", "s\u017f"):
        if ch.lower() in fold or ch in fold:
            forms.update(fold + fold.upper())
    return sorted(f for f in forms if len(f) == 1)


def sample(node, rng: random.Random, icase: bool) -> str:
    """A random string the tree matches (as a whole), to plant in a line."""
    kind = node[0]
    if kind == "lit":
        folded = icase if node[2] is None else node[2]
        return rng.choice(case_variants(node[1])) if folded else node[1]
    if kind == "cls":
        folded = icase if node[2] is None else node[2]
        members = re2.compile(("(?i)" if folded else "") + emit_charsets(node[1]))
        pool = SAMPLE_POOL + "".join(chr(c) for cs in node[1] for lo, hi in cs.ranges
                                     for c in (lo, hi, rng.randint(lo, hi)) if c != 10)
        chars = [c for c in pool if members.fullmatch(c)]
        if not chars:
            raise LookupError("no sample character")
        return rng.choice(chars)
    if kind == "dot":
        return rng.choice(SAMPLE_POOL)
    if kind == "cat":
        return "".join(sample(n, rng, icase) for n in node[1])
    if kind == "alt":
        return sample(rng.choice(node[1]), rng, icase) if node[1] else ""
    if kind == "rep":
        _, sub, lo, hi, _greedy = node
        return "".join(sample(sub, rng, icase) for _ in range(rng.randint(lo, lo + 3 if hi is None else hi)))
    return ""


@settings(max_examples=400, deadline=None)
@given(seed=st.integers(0, 10**9), around=st.tuples(st.text(alphabet=ALPHABET, max_size=8),
                                                     st.text(alphabet=ALPHABET, max_size=8)))
def test_query_holds_for_lines_planted_with_a_match(seed, around):
    patterns, options = random_case(seed)
    try:
        grep = compile_patterns(patterns, **options)
    except PatternError:
        return
    parser = grep_syntax.parse("|".join(patterns)) if not options["fixed"] else None
    tree = parser.tree if parser else ("alt", tuple(grep_syntax.fixed(p).tree for p in patterns))
    rng = random.Random(seed)
    try:
        planted = sample(tree, rng, grep.ignore_case)
    except LookupError:
        return
    regex = re2.compile(grep.re2)
    for line in (around[0] + planted + around[1]).split("\n"):
        if regex.search(line):
            assert evaluate(grep.query, trigram_keys(line)), (patterns, options, line, grep.query)


FUZZ_PIECES = list("ab()[]{}|*+?^$.\\-&~:,059PpxuUwWdDsSbBAzi#=<>!_ k\u00e9\n") + [
    "(?", "[:alpha:]", "\\p{", "\\x{", "(?x)", "(?i)", "[^", "&&", "--", "~~", "{2,3}", "(?P<n>", "}"]


@settings(max_examples=1500 if LONG else 400, deadline=None)
@given(pieces=st.lists(st.sampled_from(FUZZ_PIECES), min_size=1, max_size=16),
       case=st.sampled_from(["sensitive", "insensitive", "smart"]), word=st.booleans())
def test_any_pattern_is_refused_cleanly_or_compiles_in_re2(pieces, case, word):
    try:
        grep = compile_patterns(["".join(pieces)], case=case, word=word)
    except PatternError as error:
        assert str(error).startswith(("regex parse error", "the literal"))
        return
    quiet = re2.Options()
    quiet.log_errors = False
    re2.compile(grep.re2, quiet)


@needs_rg
@pytest.mark.parametrize("seed", range(200 if LONG else 60))
def test_fuzzed_pattern_is_accepted_or_refused_as_rg_does(corpus, seed):
    rng = random.Random(seed)
    check_against_rg(corpus, ["".join(rng.choices(FUZZ_PIECES, k=rng.randint(1, 10)))])


def key(trigram: str) -> int:
    a, b, c = trigram.lower().encode()
    return (a << 16) | (b << 8) | c


def keys_of(text: str) -> set[int]:
    return {key(text[i:i + 3]) for i in range(len(text) - 2)}


def all_of(*words):
    return {"and": sorted({k for w in words for k in keys_of(w)})}


@pytest.mark.parametrize("pattern,options,expected", [
    ("abc", {}, key("abc")),
    ("ABC", {"case": "insensitive"}, key("abc")),
    (r"def\s+should_\w+", {}, all_of("def", "should_")),
    ("foo|bar", {}, {"or": sorted([key("foo"), key("bar")])}),
    ("hello.*world", {}, all_of("hello", "world")),
    ("a[bc]d", {}, {"or": [key("abd"), key("acd")]}),
    (r"\w+", {}, True), (".", {}, True), ("ab", {}, True), ("a|bcd", {}, True), ("(abc)*", {}, True),
    ("(abc)+", {}, key("abc")), ("x(abc)?y", {}, True), ("foo", {"word": True}, key("foo")),
    ("[^a]bcd", {}, key("bcd")), ("fo{2,}d", {}, all_of("foo", "ood")),
    ("(?i)ks", {}, True), ("k.s", {}, True),
], ids=repr)
def test_query_selects(pattern, options, expected):
    assert compile_patterns([pattern], **options).query == expected


def test_case_folding_expands_to_the_non_ascii_forms():
    query = compile_patterns(["kelvin"], case="insensitive").query
    assert evaluate(query, trigram_keys("\u212aelvin"))
    assert evaluate(query, trigram_keys("KeLvIn"))
    assert not evaluate(query, trigram_keys("kelvi"))
    assert evaluate(compile_patterns(["ssa"], case="insensitive").query, trigram_keys("s\u017fa"))


@pytest.mark.parametrize("pattern", [
    "(?:" + "|".join("abcdefghijklmnopqrstuvwxyz") + "){20}",
    "(" * 240 + "a" + ")" * 240,
    "x" * 10000,
    "".join(random.Random(7).choices(["a", "b|", "(c", ")", "[de]", r"\w", "*", "f", "gh"], k=3000)),
    "".join(random.Random(3).choices("abcdefgh", k=10000)),
    "".join(random.Random(5).choices(["(?:ab|cd)", "[xy]", "e?", "fgh", r"\d", "(?i)k", "."], k=2000)),
    "(?:[a-z]{2,5}[0-9]?){50}",
    "|".join(f"word{i}" for i in range(2000)),
])
def test_hostile_patterns_plan_in_bounded_time(pattern):
    started = time.perf_counter()
    try:
        grep = compile_patterns([pattern])
    except PatternError:
        return
    assert time.perf_counter() - started < 2.0
    assert len(repr(grep.query)) < 200_000


@pytest.mark.parametrize("pattern", ["(" * 300 + "a" + ")" * 300, "a" + "*" * 5000, "[" * 300 + "a" + "]" * 300,
                                     "(?:a+)" * 3 + "*" * 260])
def test_nesting_beyond_rgs_limit_is_an_error(pattern):
    with pytest.raises(PatternError, match="nested"):
        compile_patterns([pattern])


@needs_rg
@pytest.mark.parametrize("pattern", ["a" + "*" * 200, "(" * 200 + "a" + ")" * 200, "a" + "*" * 300])
def test_nesting_near_the_limit_matches_rg(corpus, pattern):
    check_against_rg(corpus, [pattern])


@pytest.mark.parametrize("pattern", [r"[\w&&[a-z]]", r"[\pL&&\p{Greek}]", r"\p{Alphabetic}", r"\p{scx=Greek}", "a{1001}", "(?:x{100}){11}", "(?:a{2,}){600}",
                                     r"(?-u)\xFF"])
def test_unsupported_forms_say_so(pattern):
    with pytest.raises(PatternError, match="(?s)regex parse error.*not supported"):
        compile_patterns([pattern])


def test_smart_case_counts_only_literals():
    assert compile_patterns([r"\W\S\pL"], case="smart").ignore_case is False
    assert compile_patterns([r"foo\W"], case="smart").ignore_case is True
    assert compile_patterns([r"[A-Z]"], case="smart").ignore_case is False
    assert compile_patterns([r"foo", "Bar"], case="smart").ignore_case is False
    assert compile_patterns(["FOO"], case="smart", fixed=True).ignore_case is False
