#!/usr/bin/env python3
"""End-to-end scenarios: the real program under Wine, a virtual printer on a
pseudo-terminal, key records played into its console.

usage: scenarios.py --exe EXE --driver DRIVER --printer PRINTER --work DIR
                    (setup | teardown | list | SCENARIO...)

Each scenario prints what it checked and exits non-zero on any failure.
"""
import argparse
import sys

import wine_harness as wh

UP, DOWN, SPACE = 0x26, 0x28, 0x20
BED_TEXT = "_    (plateau lit ou support d'impression vador)"
ERROR_TEXT = "Erreur:    port comm serial introuvable."
WAIT_BED = f"wait_text 63 20 15000 {BED_TEXT}"
OPEN_NOTICE_MS = 10  # the virtual printer looks for the open every 5 ms


def wait_readout(value, ms=5000):
    """Waits until the readout field shows value and nothing after it."""
    return f"wait_text 31 6 {ms} {value:<10}"


def end_run():
    return [f"tap {SPACE}", "wait_exit 5000"]


def move(z):
    return b"G1 F600 Z" + z.encode()


class Checks:
    """Collects failed expectations; a scenario passes with none."""

    def __init__(self, name):
        self.name = name
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)

    def equal(self, want, got, what):
        self.expect(want == got, f"{what}: want {want!r}, got {got!r}")

    def common(self, run, exit_code="0"):
        """What every run must show: the driver ran, the tool exited as
        expected, and no wait for the screen timed out."""
        self.equal(0, run.code, "the console driver's exit code")
        self.equal([exit_code], run.report.exits(), "the tool's exit")
        timeouts = [e for e in run.report.of("wait_text") if e[1] != "ok"]
        self.equal([], timeouts, "screen waits that timed out")


def check_frame(c, report, top=5):
    """Every frame cell is a space with its grid-line attribute."""
    def attr_at(column, row):
        if row == top:
            return 0x0C07 if column == 1 else 0x1407 if column == 118 else 0x0407
        if row == top + 19:
            return 0x0407
        return 0x0807 if column == 1 else 0x1007

    cells = [(col, top) for col in range(1, 119)] + \
            [(col, top + 19) for col in range(1, 119)] + \
            [(col, row) for row in range(top + 1, top + 19) for col in (1, 118)]
    wrong = [(col, row, hex(report.attr(col, row) or 0)) for col, row in cells
             if report.attr(col, row) != attr_at(col, row)
             or report.text(col, row, 1) != b" "]
    c.equal([], wrong[:5], "frame cells with a wrong attribute or character")


def check_readout(c, report, value):
    text = value.encode()
    c.equal(text.ljust(10), report.text(31, 6, 10), "readout field")
    attrs = [report.attr(31 + i, 6) for i in range(10)]
    c.equal([0x000F] * len(text) + [0x0007] * (10 - len(text)), attrs,
            "readout attributes")


def check_moves(c, run, port, expected):
    got = run.printers[port].lines()
    c.equal(expected, got, f"move lines received on COM{port}")


# ============================== Scenarios ==============================

def start_screen(tools, prefix, c):
    """The whole start screen, the title, and the bed line only after the
    printer's start-up time."""
    run = wh.run(tools, prefix, "start_screen",
                 [WAIT_BED, "screen", "title", *end_run()],
                 printers=[(3, "ok", ())])
    c.common(run)
    r = run.report
    check_frame(c, r)
    c.equal(b"Brindlemoxagon - Ziviveri Dodov Raderu", r.text(37, 3, 38), "title text")
    c.equal([0x0006] * 38, [r.attr(37 + i, 3) for i in range(38)], "title attribute")
    c.equal(b"Point de calibrage:        ", r.text(3, 6, 27), "label")
    c.equal(b"Fl\xe8che haut:   monter", r.text(3, 8, 21), "up help (0xE8)")
    c.equal(b"Fl\xe8che bas:    descendre", r.text(3, 9, 24), "down help (0xE8)")
    c.equal(b"_______", r.text(60, 7, 7), "carriage bar")
    c.equal(BED_TEXT.encode(), r.text(63, 20, 48), "bed line")
    c.equal(b" " * 10, r.text(31, 6, 10), "empty readout before any step")
    c.equal(b"_", r.text(63, 7, 1), "no nozzle yet under the carriage bar")
    c.equal(b" ", r.text(63, 8, 1), "no nozzle yet")
    c.equal("Brindlemoxagon | Vador", r.title, "console title")
    check_moves(c, run, 3, [])
    # The bed appears only once the printer has had its 2222 ms (less the
    # few ms the virtual printer may take to notice the open).
    bed_ms = run.open_to_wait_ms()
    c.expect(bed_ms is not None and bed_ms >= 2222 - OPEN_NOTICE_MS,
             f"bed line {bed_ms} ms after the port opened (want at least 2222)")
    return run


def steps(tools, prefix, c):
    """A few steps: the exact bytes on the line, the readout, the nozzle."""
    script = [WAIT_BED]
    for key, value in [(UP, "200.400"), (UP, "200.800"), (UP, "201.200"),
                       (DOWN, "200.800")]:
        script += [f"tap {key}", wait_readout(value)]
    run = wh.run(tools, prefix, "steps", script + ["screen", *end_run()],
                 printers=[(3, "ok", ())])
    c.common(run)
    check_moves(c, run, 3, [move("200.400"), move("200.800"), move("201.200"),
                            move("200.800")])
    check_readout(c, run.report, "200.800")
    column = b"".join(run.report.text(63, row, 1) for row in range(7, 21))
    c.equal(b"_|V|V|V|V    _", column, "nozzle column 63, rows 7 to 20")
    return run


def many_steps(tools, prefix, c):
    """82 auto-repeated presses down: single-precision steps give 167.201."""
    script = [WAIT_BED]
    for _ in range(82):
        script += [f"key {DOWN} 1", "sleep 30"]
    script += [f"key {DOWN} 0", wait_readout("167.201", 15000), "screen", *end_run()]
    run = wh.run(tools, prefix, "many_steps", script, printers=[(3, "ok", ())])
    c.common(run)
    lines = run.printers[3].lines()
    c.equal(82, len(lines), "moves received")
    c.equal(move("167.201"), lines[-1] if lines else None, "last move")
    check_readout(c, run.report, "167.201")
    return run


def no_port(tools, prefix, c):
    """No port opens: the error line, a wait for a key, exit 0."""
    script = [f"wait_text 3 10 15000 {ERROR_TEXT}", "screen", "wait_exit 1500",
              "tap 0x41", "wait_exit 5000"]
    run = wh.run(tools, prefix, "no_port", script)
    c.equal(0, run.code, "the console driver's exit code")
    c.equal(["timeout", "0"], run.report.exits(),
            "still waiting before the key, exit 0 after it")
    r = run.report
    c.equal(ERROR_TEXT.encode(), r.text(3, 10, 40), "error line")
    c.equal(b" " * 48, r.text(63, 20, 48), "no bed line")
    c.equal(b"Point de calibrage:        ", r.text(3, 6, 27), "label")
    check_frame(c, r)
    return run


def port_order(tools, prefix, c):
    """COM3 and COM5 present: COM3 is taken and COM5 never opened."""
    script = [WAIT_BED, f"tap {UP}", wait_readout("200.400"), *end_run()]
    run = wh.run(tools, prefix, "port_order", script,
                 printers=[(3, "ok", ()), (5, "ok", ())])
    c.common(run)
    check_moves(c, run, 3, [move("200.400")])
    c.expect(not run.printers[5].opened(), "COM5 was opened")
    return run


def port_held(tools, prefix, c):
    """COM3 held open by another program when the tool starts: COM3 is
    skipped and COM4 taken."""
    script = [WAIT_BED, f"tap {UP}", wait_readout("200.400"), *end_run()]
    run = wh.run(tools, prefix, "port_held", script,
                 printers=[(3, "busy", ()), (4, "ok", ())])
    c.common(run)
    check_moves(c, run, 3, [])
    check_moves(c, run, 4, [move("200.400")])
    return run


def releases_and_other_records(tools, prefix, c):
    """Releases, other keys and records that are not keys move nothing."""
    script = [WAIT_BED, f"key {UP} 0", f"key {DOWN} 0", "record focus",
              "record mouse", "record menu", "record size", "tap 0x41",
              "tap 0x0D", "tap 0x1B", f"key {SPACE} 0", "sleep 400", "screen",
              f"tap {UP}", wait_readout("200.400"), "sleep 300", *end_run()]
    run = wh.run(tools, prefix, "releases_and_other_records", script,
                 printers=[(3, "ok", ())])
    c.common(run)
    check_moves(c, run, 3, [move("200.400")])
    return run


def printer_behaviour(mode, extra=(), received=7):
    """Whatever the printer does, every move shown is sent (up to an
    unplugged printer's last line), space ends the run, exit 0."""
    def scenario(tools, prefix, c):
        script = [WAIT_BED]
        values = ["200.400", "200.800", "201.200", "201.600", "202.000",
                  "201.600", "201.200"]
        for i, value in enumerate(values):
            script += [f"tap {UP if i < 5 else DOWN}", wait_readout(value)]
        # A quiet spell: the tool must wait for keys, not spin.
        script += ["mark quiet", "sleep 1500", "mark quiet_end", "screen", *end_run()]
        run = wh.run(tools, prefix, f"printer_{mode}", script,
                     printers=[(3, mode, extra)])
        c.common(run)
        check_moves(c, run, 3, [move(v) for v in values][:received])
        check_readout(c, run.report, "201.200")
        if mode == "flood":
            # A device that never pauses holds the start-up for the 3 s
            # drain bound, and no longer.
            bed_ms = run.open_to_wait_ms() or -1
            c.expect(2222 + 3000 - OPEN_NOTICE_MS <= bed_ms <= 2222 + 3000 + 1500,
                     f"bed line {bed_ms:.0f} ms after the port opened "
                     "(want the wait plus the 3 s drain bound)")
        busy = wh.cpu_share(run.cpu["tool"], run.mark("quiet"), run.mark("quiet_end"))
        c.expect(busy is not None and busy < 0.5,
                 f"the tool's CPU while waiting for keys: {busy} of a core")
        return run
    scenario.__doc__ = f"printer mode {mode}: " + printer_behaviour.__doc__
    return scenario


def platform_contract(tools, prefix, c):
    """The statements our simulation is held to, run on Wine."""
    run = wh.run(tools, prefix, "platform_contract", printers=[(3, "ok", ())],
                 timeout=60, program=tools.driver.parent / "platform_contract.exe",
                 arguments=[r"\\.\COM3"])
    c.failures += [line for line in run.text.splitlines() if line.startswith("FAILED")]
    c.expect("do not" in run.text, "the contract ran to its end")
    c.equal(0, run.code, "the contract's exit code")
    return run


SCENARIOS = {
    "start_screen": start_screen,
    "steps": steps,
    "many_steps": many_steps,
    "no_port": no_port,
    "port_order": port_order,
    "port_held": port_held,
    "releases_and_other_records": releases_and_other_records,
    "platform_contract": platform_contract,
    "printer_silent": printer_behaviour("silent"),
    "printer_long_replies": printer_behaviour("long", ("--reply-bytes", "300")),
    "printer_binary": printer_behaviour("binary"),
    "printer_flood": printer_behaviour("flood"),
    "printer_unplugged": printer_behaviour("hangup", ("--lines", "2"), received=2),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("exe", "driver", "printer", "work"):
        parser.add_argument(f"--{option}", required=True)
    parser.add_argument("what", nargs="+")
    args = parser.parse_args()
    tools = wh.Tools(args.exe, args.driver, args.printer, args.work)
    prefix = wh.Prefix(tools.work)

    if args.what == ["list"]:
        print("\n".join(SCENARIOS))
        return 0
    if args.what == ["setup"]:
        prefix.ensure()
        return 0
    if args.what == ["teardown"]:
        prefix.stop_server()
        return 0

    prefix.ensure()
    prefix.start_server()
    failed = 0
    for name in args.what:
        c = Checks(name)
        run = SCENARIOS[name](tools, prefix, c)
        status = "FAIL" if c.failures else "ok"
        print(f"{name}: {status} ({run.seconds:.1f} s)")
        for failure in c.failures:
            print(f"  - {failure}")
        if c.failures:
            print(f"  (terminal, script and report in {tools.work / 'runs' / name})")
        failed += bool(c.failures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
