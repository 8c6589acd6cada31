"""The command line: ``vorpaline COMMAND ...``, one module per command.

Each command module has ``add_to(commands)``, which adds its subparser to argparse's subparsers
and sets ``run`` (called with the parsed arguments; it returns the exit status or None for 0).
Command modules import the search package and the core only when they run, so ``--help`` stays fast.
"""

import argparse
import io
import os
import sys

from vorpaline import __version__
import importlib
from vorpaline.cli.common import ERROR, PROG, CliError, Parser, report

# In the order ``--help`` lists them: searching first, then indexing and serving, then the rest.
COMMANDS = ("search", "grep", "symbols", "index", "serve", "mcp", "files", "embed", "demo")
# The commands whose parser is built alone when they are asked for, and their modules: a search
# or a grep must start fast, and the other commands' modules import what these never need.
ONLY_ALONE = {"grep": "grep", "search": "search", "def": "symbols", "refs": "symbols"}
COMMAND_GROUPS = (
    ("search", ("search", "grep", "def", "refs")),
    ("index and serve", ("index", "serve", "mcp")),
    ("other", ("files", "embed", "demo")),
)
EXIT_STATUS = "exit status: 0 when something was found, 1 when nothing was, 2 on an error (as grep and rg)"


def parser(only: str | None = None) -> Parser:
    """The whole command line; with ``only``, that command's alone (a grep must start fast)."""
    # Raw, for the epilog's table: the description is wrapped here.
    top = Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
                 usage="%(prog)s [-h] [--version] COMMAND ...",
                 description="Code search for developers and their coding agents: index a repository, search it,\n"
                             "look names up, serve it to a browser or an MCP client.")
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    # The commands are listed in the epilog, grouped; argparse's own list is flat.
    commands = top.add_subparsers(dest="command", required=True, prog=PROG, metavar="COMMAND", help=argparse.SUPPRESS)
    for name in COMMANDS if only is None else (ONLY_ALONE[only],):
        importlib.import_module(f"{__name__}.{name}").add_to(commands)
    if only is None:
        top.epilog = _grouped_commands(commands) + "\n\n" + EXIT_STATUS
    return top


def _grouped_commands(commands: argparse._SubParsersAction) -> str:
    """The commands under their groups' headings, each with its one-line help, as argparse aligns them."""
    helps = {action.dest: action.help or "" for action in commands._get_subactions()}
    width = max(map(len, helps)) + 2
    grouped = [name for _, names in COMMAND_GROUPS for name in names]
    assert sorted(grouped) == sorted(helps), "every command belongs to one group"
    return "\n\n".join(f"{heading} commands:\n" + "\n".join(f"  {name:<{width}}{helps[name]}" for name in names)
                        for heading, names in COMMAND_GROUPS)


def main(argv: list[str] | None = None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")  # a non-UTF-8 terminal still gets every token
    try:
        given = sys.argv[1:] if argv is None else argv
        args = parser(given[0] if given[:1] and given[0] in ONLY_ALONE else None).parse_args(argv)
        status = args.run(args)
        sys.stdout.flush()
        return status or 0
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except BrokenPipeError:  # the reader has all it wanted: not an error of ours
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    except CliError as exc:
        report(exc)
        return exc.exit_status
    except (OSError, ValueError) as exc:  # bad settings, or a core that rejected a text
        report(exc)
        return ERROR
    except Exception as exc:  # noqa: BLE001 - any other failure still ends in one line, not a traceback
        report(f"{type(exc).__name__}: {exc}")
        return ERROR


def _silence_stdout() -> None:
    # After a reader such as `head` has gone, the interpreter's final flush must not fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
