#!/usr/bin/env python3
"""The tool in your terminal under Wine, with a virtual printer on COM3.

usage: demo.py --exe EXE --printer PRINTER --work DIR

Press the arrows to move, space to end. Afterwards it says what the printer
received.
"""
import argparse
import os
import shutil
import subprocess
import sys

import wine_harness as wh

MIN_COLUMNS, MIN_ROWS = 119, 25


def terminal_size():
    """(columns, rows) of the controlling terminal, or None without one."""
    try:
        fd = os.open("/dev/tty", os.O_RDONLY)
    except OSError:
        return None
    try:
        size = os.get_terminal_size(fd)
        return size.columns, size.lines
    finally:
        os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--printer", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    size = terminal_size()
    if size is None:
        print("The demo needs a terminal to run in.")
        return 1
    if size[0] < MIN_COLUMNS or size[1] < MIN_ROWS:
        print(f"This terminal is {size[0]}x{size[1]}; the screen needs at least "
              f"{MIN_COLUMNS}x{MIN_ROWS}. Enlarge the window and run the demo again.")
        return 1

    tools = wh.Tools(args.exe, "-", args.printer, args.work)
    prefix = wh.Prefix(tools.work)
    if not prefix.stamp.exists():
        print("Preparing a private Wine prefix (first time only, some seconds)...")
    prefix.ensure()
    prefix.clear_ports()
    # Our own wineserver, kept away from this terminal: one started by wine
    # here would print its object list into the terminal when it ends.
    prefix.start_server()
    log = tools.work / "printer.log"
    printer = wh.PrinterProcess(tools, prefix, 3, "ok", log)
    try:
        subprocess.run(prefix.launcher() + ["wine", str(tools.exe)],
                       env=prefix.env(), check=False)
    finally:
        printer.finish()
    lines = printer.lines()
    moves = [line for line in lines if line.startswith(b"G1 ")]
    print()
    if not printer.opened():
        print("The tool did not open the virtual printer's port.")
    elif not moves:
        print("The printer received no move.")
    else:
        last_z = moves[-1].split(b"Z")[-1].decode()
        print(f"The printer received {len(moves)} move(s); the last went to Z {last_z}.")
    print(f"(its log: {log})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
