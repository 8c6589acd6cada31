"""Interpreter exit: daemon threads caught inside a module function, and an
interpreter initialised again after the one that loaded the modules finalised.
Each must end as it would with modules written in Python: status 0, nothing
on standard error, never a module that imports and then fails."""

import os
import shutil
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor

import pytest

# Each run is one chance for a daemon thread to be ended inside module code.
RUNS = 200 if os.environ.get("VORPALINE_LONG_TESTS") else 12

# Each situation starts daemon threads that are inside a module function, with
# the interpreter lock given up, when the main thread returns.
DAEMONS = """
import sys, threading, time, logging
import vorpaline.sparse, vorpaline.skiprules

def embed_single():
    service = vorpaline.sparse.get_sparse_service()
    text = "getUserName parse_http_request " * 100_000  # the core works without the lock
    while True:
        busy.release()
        service.embed_single(text)

def construct_service():
    logger = logging.getLogger("vorpaline.sparse")
    logger.addHandler(logging.FileHandler("log.txt"))  # every record is written to a file
    logger.setLevel(logging.INFO)
    while True:
        busy.release()
        vorpaline.sparse.SparseEmbeddingService()

def build_scan_config():
    class SlowPath:
        def __str__(self):
            time.sleep(0.0005)
            return "/repo"
    while True:
        busy.release()
        vorpaline.skiprules.build_scan_config(SlowPath())

def free_a_slow_object():
    class SlowToFree(list):
        def __del__(self):
            time.sleep(0.0005)  # a finaliser run as the module lets go of its last reference

    class Settings:
        builtin_ignore_replace = False
        extra_ignore_patterns = []
        ignore_mode = "git+vorpaline"
        builtin_ignore_patterns = property(lambda self: SlowToFree(["*.pyc"]))

    vorpaline.skiprules.settings = Settings()
    while True:
        busy.release()
        vorpaline.skiprules.build_scan_config("/repo")

busy = threading.Semaphore(0)
target = globals()[sys.argv[1]]
threads = [threading.Thread(target=target, daemon=True) for _ in range(3)]
for thread in threads:
    thread.start()
for _ in range(12):
    busy.acquire()
time.sleep(0.02)
"""


def run_once(script, situation, cwd):
    proc = subprocess.run(
        [sys.executable, str(script), situation], cwd=cwd, capture_output=True, text=True, timeout=120
    )
    return proc.returncode, proc.stderr


@pytest.mark.parametrize(
    "situation", ["embed_single", "construct_service", "build_scan_config", "free_a_slow_object"]
)
def test_daemon_threads_inside_a_module_function_at_exit(situation, tmp_path):
    script = tmp_path / "daemons.py"
    script.write_text(DAEMONS)
    with ThreadPoolExecutor(2) as pool:
        outcomes = list(pool.map(lambda _: run_once(script, situation, tmp_path), range(RUNS)))
    failures = [outcome for outcome in outcomes if outcome != (0, "")]
    assert not failures, f"{len(failures)} of {RUNS} runs failed, first: {failures[0]}"


# ---------------------------------------------------------------- a second Py_Initialize

EMBEDDING_PROGRAM = r"""
#include <Python.h>

static const char *const use_each_module =
    "import importlib\n"
    "uses = {\n"
    "    'sparse': lambda m: m.get_sparse_service().embed_single('getUserName').indices != [],\n"
    "    'enginecheck': lambda m: m.require_capability('sparse_embed', 'test'),\n"
    "    'skiprules': lambda m: m.build_scan_config('/repo')['repo_root'],\n"
    "}\n"
    "for name, use in uses.items():\n"
    "    try:\n"
    "        print(name, 'works:', use(importlib.import_module('vorpaline.' + name)))\n"
    "    except ImportError as exc:\n"
    "        print(name, 'refused:', exc)\n"
    "    except Exception as exc:\n"
    "        print(name, 'broken:', type(exc).__name__, exc)\n";

int main(void)
{
    for (int round = 1; round <= 2; ++round) {
        Py_Initialize();
        printf("round %d\n", round);
        fflush(stdout);
        if (PyRun_SimpleString(use_each_module) != 0 || Py_FinalizeEx() < 0)
            return 1;
    }
    return 0;
}
"""


def embedding_flags():
    config = os.path.join(sysconfig.get_config_var("BINDIR") or "", "python3.11-config")
    if not os.path.exists(config):
        config = shutil.which("python3.11-config")
    if config is None or shutil.which("cc") is None:
        pytest.skip("needs python3.11-config and a C compiler")
    flags = subprocess.run([config, "--embed", "--cflags", "--ldflags"], capture_output=True, text=True, check=True)
    return flags.stdout.split()


def test_modules_are_refused_by_an_interpreter_initialised_again(tmp_path):
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    program = tmp_path / "embed"
    subprocess.run(["cc", str(source), "-o", str(program), *embedding_flags()], check=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([str(program)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stderr) == (0, "")
    refused = "cannot be loaded again after the interpreter it was loaded into was finalised."
    assert proc.stdout.splitlines() == [
        "round 1",
        "sparse works: True",
        "enginecheck works: None",
        "skiprules works: /repo",
        "round 2",
        f"sparse refused: Module 'sparse' {refused}",
        f"enginecheck refused: Module 'enginecheck' {refused}",
        f"skiprules refused: Module 'skiprules' {refused}",
    ]
