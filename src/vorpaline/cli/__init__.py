"""The command line: ``vorpaline COMMAND ...`` (also ``python -m vorpaline``), a module per command.

Building the parser imports no command's work: each command loads the search package, the core or
the server when it runs.
"""

from __future__ import annotations

import argparse
import io
import sys

from vorpaline import __version__
from vorpaline.cli import demo, embed, files, index, mcp, search, serve, symbols
from vorpaline.cli.common import PROG, CliError, Parser, report, silence_stdout

__all__ = ["main", "parser"]

# In the order the help lists them: searching first, then indexing and serving, then the rest.
COMMANDS = (search, symbols, index, serve, mcp, files, embed, demo)


def parser() -> argparse.ArgumentParser:
    top = Parser(prog=PROG, description="Code search for developers and their coding agents: index a repository, "
                                        "search it, look names up, serve it to a browser or an MCP client.")
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add_to(commands)
    return top


def main(argv: list[str] | None = None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")  # a non-UTF-8 terminal still gets every token
    try:
        args = parser().parse_args(argv)
        status = args.run(args)
        sys.stdout.flush()
        return status or 0
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except BrokenPipeError:
        silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    except CliError as exc:
        report(exc)
        return exc.exit_status
    except (OSError, ValueError) as exc:  # bad settings, or a core that rejected a text
        report(exc)
        return 1
    except Exception as exc:  # noqa: BLE001 - any other failure still ends in one line, not a traceback
        report(f"{type(exc).__name__}: {exc}")
        return 1
