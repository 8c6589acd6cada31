"""Definitions and references found by the core with the tree-sitter grammars'
tags queries: a sample per language, the core against the py-tree-sitter
binding on real files, the text predicates, and hostile input."""

import json
import os
import random
from concurrent.futures import ThreadPoolExecutor
from importlib import import_module
from pathlib import Path

import pytest

import vorpaline_core_py as core
from vorpaline import languages

PARSED = {name for name, has_parser in languages.ensure_registered().items() if has_parser}


def symbols(path, text):
    return json.loads(core.symbols_of_text(path, text))


SAMPLES = [
    pytest.param(
        "sample.py",
        """\
import os

LIMIT = 10

class Walker:
    def __init__(self, root):
        self.root = root

    def walk(self):
        def keep(name):
            return not name.startswith(".")
        return [n for n in os.listdir(self.root) if keep(n)]

def main():
    print(Walker(".").walk())
""",
        [
            ('LIMIT', 'constant', 3, ''),
            ('Walker', 'class', 5, ''),
            ('__init__', 'method', 6, 'Walker'),
            ('walk', 'method', 9, 'Walker'),
            ('keep', 'function', 10, 'Walker.walk'),
            ('main', 'function', 14, ''),
        ],
        [('startswith', 'call', 11), ('listdir', 'call', 12), ('keep', 'call', 12), ('print', 'call', 15)],
        id="python",
    ),
    pytest.param(
        "sample.c",
        """\
#include <stdio.h>
struct point { int x; int y; };
typedef struct point point_t;
enum color { RED, GREEN };
static int add(int a, int b) {
  return a + b;
}
int main(void) {
  printf("%d", add(1, 2));
}
""",
        [
            ('point', 'class', 2, ''),
            ('point_t', 'type', 3, ''),
            ('color', 'type', 4, ''),
            ('add', 'function', 5, ''),
            ('main', 'function', 8, ''),
        ],
        [],
        id="c",
    ),
    pytest.param(
        "sample.cpp",
        """\
namespace geo {
class Shape {
 public:
  virtual double area() const;
};
struct Box : Shape {
  double area() const override { return w * h; }
  double w, h;
};
}
double geo::Shape::area() const { return 0; }
int main() { geo::Box b; return (int)b.area(); }
""",
        [
            ('Shape', 'class', 2, ''),
            ('area', 'method', 4, 'Shape'),
            ('Box', 'class', 6, ''),
            ('area', 'method', 7, 'Box'),
            ('main', 'function', 12, ''),
        ],
        [],
        id="cpp",
    ),
    pytest.param(
        "sample.js",
        """\
class Greeter {
  constructor(name) { this.name = name; }
  greet() {
    return format(this.name);
  }
}
function format(x) { return x.trim(); }
const shout = (s) => s.toUpperCase();
const g = new Greeter("a");
require("fs");
""",
        [
            ('Greeter', 'class', 1, ''),
            ('greet', 'method', 3, 'Greeter'),
            ('format', 'function', 7, ''),
            ('shout', 'function', 8, ''),
        ],
        [('format', 'call', 4), ('trim', 'call', 7), ('toUpperCase', 'call', 8), ('Greeter', 'class', 9)],
        id="javascript",
    ),
    pytest.param(
        "sample.ts",
        """\
interface Shape {
  area(): number;
}
abstract class Base {
  abstract name(): string;
}
module Geo {
  export function unit(): Shape { return new Square(); }
}
function total(shapes: Shape[]): number {
  return shapes.reduce((a, s) => a + s.area(), 0);
}
""",
        [
            ('Shape', 'interface', 1, ''),
            ('area', 'method', 2, 'Shape'),
            ('Base', 'class', 4, ''),
            ('name', 'method', 5, 'Base'),
            ('Geo', 'module', 7, ''),
            ('unit', 'function', 8, 'Geo'),
            ('total', 'function', 10, ''),
        ],
        [('Shape', 'type', 8), ('Square', 'class', 8), ('reduce', 'call', 11), ('area', 'call', 11)],
        id="typescript",
    ),
    pytest.param(
        "sample.tsx",
        """\
interface Props { label: string }
function Button(props: Props) {
  return <button onClick={() => track(props.label)}>{props.label}</button>;
}
""",
        [
            ('Props', 'interface', 1, ''),
            ('Button', 'function', 2, ''),
        ],
        [('Props', 'type', 2), ('track', 'call', 3)],
        id="tsx",
    ),
    pytest.param(
        "sample.go",
        """\
package shapes

import "fmt"

type Shape interface {
	Area() float64
}

type Square struct{ side float64 }

// Area is the square's.
func (s Square) Area() float64 { return s.side * s.side }

func Describe(s Shape) string {
	return fmt.Sprintf("%v", s.Area())
}
""",
        [
            ('Shape', 'type', 5, ''),
            ('Square', 'type', 9, ''),
            ('Area', 'method', 12, ''),
            ('Describe', 'function', 14, ''),
        ],
        [('float64', 'type', 6), ('float64', 'type', 9), ('Square', 'type', 12), ('float64', 'type', 12)],
        id="go",
    ),
    pytest.param(
        "sample.rs",
        """\
struct Point { x: i32 }
enum Shape { Dot(Point) }
trait Area { fn area(&self) -> f64; }
impl Area for Point {
    fn area(&self) -> f64 { 0.0 }
}
fn main() {
    let p = Point { x: 1 };
    println!("{}", p.area());
    helper();
}
fn helper() {}
""",
        [
            ('Point', 'class', 1, ''),
            ('Shape', 'class', 2, ''),
            ('Area', 'interface', 3, ''),
            ('area', 'method', 5, ''),
            ('main', 'function', 7, ''),
            ('helper', 'function', 12, ''),
        ],
        [('Area', 'implementation', 4), ('println', 'call', 9), ('helper', 'call', 10)],
        id="rust",
    ),
    pytest.param(
        "sample.java",
        """\
package demo;

interface Shape { double area(); }

class Square implements Shape {
    private final double side;
    Square(double side) { this.side = side; }
    public double area() { return Math.pow(side, 2); }
}

class Main {
    public static void main(String[] args) {
        Shape s = new Square(2);
        System.out.println(s.area());
    }
}
""",
        [
            ('Shape', 'interface', 3, ''),
            ('area', 'method', 3, 'Shape'),
            ('Square', 'class', 5, ''),
            ('area', 'method', 8, 'Square'),
            ('Main', 'class', 11, ''),
            ('main', 'method', 12, 'Main'),
        ],
        [('Shape', 'implementation', 5), ('pow', 'call', 8), ('Square', 'class', 13), ('println', 'call', 14)],
        id="java",
    ),
    pytest.param(
        "sample.rb",
        """\
module Shapes
  class Square < Base
    def initialize(side)
      @side = side
    end

    def self.unit
      new(1)
    end

    def area
      compute(@side)
    end
  end
end
""",
        [
            ('Shapes', 'module', 1, ''),
            ('Square', 'class', 2, 'Shapes'),
            ('initialize', 'method', 3, 'Shapes.Square'),
            ('unit', 'method', 7, 'Shapes.Square'),
            ('area', 'method', 11, 'Shapes.Square'),
        ],
        [('Base', 'call', 2), ('side', 'call', 3), ('side', 'call', 4), ('new', 'call', 8)],
        id="ruby",
    ),
]


@pytest.mark.parametrize("path, text, definitions, some_references", SAMPLES)
def test_a_sample_of_each_language(path, text, definitions, some_references):
    found = symbols(path, text)
    assert found["language"] == languages.language_of(path)
    assert [(name, kind, line, scope) for name, kind, line, _, _, scope in found["definitions"]] == definitions
    references = [tuple(reference) for reference in found["references"]]
    assert [reference for reference in some_references if reference not in references] == []
    lines = text.count("\n") + 1
    for _, _, line, first, last, _ in found["definitions"]:
        assert 1 <= first <= line <= last <= lines


def test_every_grammar_installed_has_a_parser():
    assert PARSED == {language.name for language in languages.LANGUAGES if language.grammar_module}


@pytest.mark.parametrize(
    "path, language",
    [("a/b.py", "python"), ("B.PY", "python"), ("x.h", "c"), ("x.hpp", "cpp"), ("x.d.ts", "typescript"),
     ("x.tsx", "tsx"), ("lib/Rakefile", "ruby"), ("rakefile", None), ("Main.kt", "kotlin"), ("run.sh", "shell"),
     (".py", None), ("README", None), ("archive.tar.gz", None)],
)
def test_a_path_has_the_language_of_its_file_name_in_python_and_in_the_core(path, language):
    assert languages.language_of(path) == language
    expected = language if language in PARSED else None
    assert symbols(path, "x = 1\n")["language"] == expected


def test_a_language_without_a_parser_gives_nothing():
    assert symbols("Main.kt", "class Main { fun run() = go() }\n") == {
        "language": None, "definitions": [], "references": []}


# The core against py-tree-sitter running the same query: the same definitions
# (name, line, kind), one per name node as the earliest pattern tags it, and a
# method the core found inside a class may be a function to the query.
def reference_definitions(ts, language, text):
    spec = next(spec for spec in languages.LANGUAGES if spec.name == language)
    grammar = ts.Language(getattr(import_module(spec.grammar_module), spec.language_function)())
    query = languages._tags_query(spec.grammar_module)
    if spec.query_base:
        query = languages._tags_query(f"tree_sitter_{spec.query_base}") + "\n" + query
    tree = ts.Parser(grammar).parse(text.encode())
    first_tag = {}
    for pattern, captures in ts.QueryCursor(ts.Query(grammar, query)).matches(tree.root_node):
        kinds = [name.split(".", 1)[1] for name in captures if name.startswith("definition.")]
        if kinds and "name" in captures:
            node = captures["name"][0]
            key = (node.start_byte, node.end_byte)
            if key not in first_tag or pattern < first_tag[key][0]:
                first_tag[key] = (pattern, node.text.decode(), node.start_point.row + 1, kinds[0])
    return {tag[1:] for tag in first_tag.values() if tag[1]}


def sample_files(folder, pattern, count):
    paths = sorted(p for p in Path(folder).rglob(pattern) if p.is_file() and p.stat().st_size < 60_000)
    step = max(1, len(paths) // count)
    return paths[::step][:count]


@pytest.mark.parametrize("folder, pattern, count", [("/usr/lib/python3.11", "*.py", 40), ("/usr/include", "*.h", 30)])
def test_definitions_match_py_tree_sitter_on_real_files(folder, pattern, count):
    ts = pytest.importorskip("tree_sitter")
    files = sample_files(folder, pattern, count)
    if not files:
        pytest.skip(f"no {pattern} files under {folder}")
    compared = 0
    for path in files:
        try:
            text = path.read_text(encoding="utf-8")
        except UnicodeDecodeError:
            continue
        found = symbols(str(path), text)
        expected = reference_definitions(ts, found["language"], text)
        core_tags = set()
        for name, kind, line, _, _, _ in found["definitions"]:
            renamed = kind == "method" and (name, line, "function") in expected and (name, line, "method") not in expected
            core_tags.add((name, line, "function" if renamed else kind))
        assert core_tags == expected, path
        compared += 1
    assert compared >= count // 2


# The text predicates, which the runtime leaves to the core: each query tags
# the identifiers it keeps, in a language of its own.
PREDICATE_TEXT = "alpha\nbeta\nb1\ngamma\ndelta\nalpha\n"


@pytest.mark.parametrize(
    "predicate, kept",
    [('(#eq? @name "alpha")', ["alpha", "alpha"]),
     ('(#not-eq? @name "alpha")', ["beta", "b1", "gamma", "delta"]),
     ('(#match? @name "^b[0-9]*$")', ["b1"]),
     ('(#match? @name "ta")', ["beta", "delta"]),
     ('(#not-match? @name "a$")', ["b1"]),
     ('(#any-of? @name "gamma" "delta" "zeta")', ["gamma", "delta"]),
     ('(#not-any-of? @name "gamma" "delta")', ["alpha", "beta", "b1", "alpha"]),
     ('(#strip! @name "a") (#is-not? local)', ["alpha", "beta", "b1", "gamma", "delta", "alpha"])],
)
def test_text_predicates(predicate, kept):
    extension = f".probe{abs(hash(predicate)) % 10**8}"
    query = f"((identifier) @name @definition.word {predicate})"
    core.symbols_register_language(f"probe{extension}", import_module("tree_sitter_python").language(), query,
                                   json.dumps([extension]))
    found = symbols("x" + extension, PREDICATE_TEXT)
    assert [name for name, *_ in found["definitions"]] == kept


@pytest.mark.parametrize(
    "query, extensions, error, message",
    [("((identifier) @name", '[".bad"]', ValueError, "syntax error at byte"),
     ("(no_such_node) @name", '[".bad"]', ValueError, "unknown node type at byte 1"),
     ('((identifier) @name (#match? @name "("))', '[".bad"]', ValueError, "does not compile"),
     ("((identifier) @name (#eq? @name))", '[".bad"]', ValueError, "#eq?"),
     ("(identifier) @name", '".bad"', ValueError, "extensions_json"),
     ("(identifier) @name", '[""]', ValueError, "empty")],
)
def test_a_bad_registration_is_refused(query, extensions, error, message):
    with pytest.raises(error, match=message):
        core.symbols_register_language("bad", import_module("tree_sitter_python").language(), query, extensions)
    assert symbols("x.bad", "a\n")["language"] is None


def test_a_grammar_must_be_a_language_capsule():
    with pytest.raises(TypeError, match="capsule"):
        core.symbols_register_language("bad", object(), "(identifier) @name", '[".bad"]')


def test_a_text_over_the_size_cap_has_no_symbols():
    text = "def f():\n    pass\n" * (1 << 16)
    assert len(text) > 1 << 20
    assert symbols("big.py", text) == {"language": "python", "definitions": [], "references": []}


RANDOM_ROUNDS = 40 if os.environ.get("VORPALINE_LONG_TESTS") else 4


@pytest.mark.parametrize("path", [spec.file_names[0].replace(".", "x.", 1) for spec in languages.LANGUAGES
                                  if spec.name in PARSED])
def test_random_bytes_never_crash(path):
    rng = random.Random(path)
    samples = [text for _, text, _, _ in (param.values for param in SAMPLES)]
    texts = ["\0" * 100, "(" * 2000, "{" * 1000 + "}" * 999]
    for _ in range(RANDOM_ROUNDS):
        noise = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 1000))).decode("latin-1")
        cut = rng.choice(samples)
        texts += [noise, cut[: rng.randrange(len(cut))] + noise[:50] + cut[rng.randrange(len(cut)):]]
    for text in texts:
        found = symbols(path, text)
        assert found["language"] is not None
        for _, _, line, first, last, _ in found["definitions"]:
            assert 1 <= first <= line <= last <= text.count("\n") + 1


def test_threads_find_what_one_thread_finds():
    texts = [(path, text) for path, text, _, _ in (param.values for param in SAMPLES)] * 6
    alone = [symbols(path, text) for path, text in texts]
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(lambda item: symbols(*item), texts)) == alone
