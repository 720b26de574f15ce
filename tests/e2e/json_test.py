#!/usr/bin/env python3
"""The documents of --list --json and --dry-run --json, parsed and compared field by field.

The scenarios list_json and dry_run_json hold the program's standard output exactly; the
runner runs the real program on each (it must pass: the program printed exactly that text),
then that text must be one JSON document that python3 -m json.tool takes, plain ASCII, and
each drive's fields must say what the scenario's drives are.
Arguments: RUNNER PROGRAM FAKE SCENARIOS WORK."""
import json
import pathlib
import subprocess
import sys

PROGRAM = "odd-fwupdate 2.57C"
PACKAGE = {"vendor": "KESTREL", "product": "DVD-RW  QXR-930D", "revision": "1.22"}
IDENTITY = {"vendor": "KESTREL", "product": "DVD-RW  QXR-930D"}
NO_IDENTITY = {"vendor": None, "product": None, "revision": None, "date": None}
DRIVE_KEYS = ["letter", "device", "generic", "vendor", "product", "revision", "date",
              "for_package", "package_is", "update_mode", "busy"]
PLAN_KEYS = ["plan", "message", "reason"]


def drive(letter, generic, **fields):
    number = ord(letter) - ord("D")
    row = {"letter": letter, "device": "/dev/sr%d" % number, "generic": generic,
           "for_package": True, "package_is": None, "update_mode": False, "busy": False}
    row.update(fields)
    return row


LIST = [
    drive("D", "/dev/sg1", **IDENTITY, revision="1.21", date="08/07/01", package_is="newer"),
    drive("E", "/dev/sg2", **IDENTITY, revision="1.22", date="08/07/25", package_is="same"),
    drive("F", "/dev/sg3", **IDENTITY, revision="0000", date="08/05/12", update_mode=True),
    drive("G", "/dev/sg4", **NO_IDENTITY, for_package=False, busy=True),
    drive("H", None, vendor="ORB\u00c9S\"", product="DVD-ROM DR-1610", revision="2.04",
          date="2007/11/30", for_package=False),
]

DRY_RUN = [
    drive("D", "/dev/sg1", **IDENTITY, revision="1.21", date="08/07/01", package_is="newer",
          plan="update", message=None, reason="1.21 -> 1.22"),
    drive("E", "/dev/sg2", **IDENTITY, revision="1.22", date="08/07/25", package_is="same",
          plan="latest", message=54, reason="FW is already latest."),
    drive("F", "/dev/sg3", **IDENTITY, revision="0000", date="08/05/12", update_mode=True,
          plan="update", message=None, reason="0000 -> 1.22"),
    drive("G", "/dev/sg4", **NO_IDENTITY, for_package=False, busy=True, plan="busy",
          message=None, reason="in use by another odd-fwupdate (process 4242)"),
    drive("H", "/dev/sg5", **IDENTITY, revision="1.21", date="08/07/01", package_is="newer",
          plan="refused", message=None,
          reason="its queue takes less than a 32 KiB chunk per command"),
]


def scenario_stdout(path):
    """The expected standard output of a scenario: its lines after "stdout", escapes decoded."""
    lines = path.read_text(encoding="ascii").split("\n")
    body = "".join(lines[lines.index("stdout") + 1:])
    out, i = bytearray(), 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            n = body[i + 1]
            if n == "x":
                out.append(int(body[i + 2:i + 4], 16))
                i += 4
                continue
            out += {"n": b"\n", "r": b"\r", "t": b"\t"}.get(n, n.encode())
            i += 2
            continue
        out += c.encode()
        i += 1
    return bytes(out)


failures = []


def same(where, actual, expected):
    if actual != expected or type(actual) is not type(expected):
        failures.append("%s: %r, expected %r" % (where, actual, expected))


def check(name, scenarios, drives, keys, package):
    run = subprocess.run(RUNNER + [str(scenarios / (name + ".scenario")), WORK],
                         capture_output=True, text=True)
    if run.returncode != 0:
        failures.append(name + ": the program's output is not the scenario's:\n" + run.stdout +
                        run.stderr)
    text = scenario_stdout(scenarios / (name + ".scenario"))
    if any(byte >= 0x80 for byte in text):
        failures.append(name + ": a byte outside ASCII")
    tool = subprocess.run([sys.executable, "-m", "json.tool"], input=text, capture_output=True)
    if tool.returncode != 0:
        failures.append(name + ": json.tool refuses it: " + tool.stderr.decode())
        return
    document = json.loads(text.decode("utf-8"))
    same(name + " keys", list(document), ["version", "program", "package", "drives"])
    same(name + " version", document["version"], 1)
    same(name + " program", document["program"], PROGRAM)
    same(name + " package", document["package"], package)
    same(name + " drive count", len(document["drives"]), len(drives))
    for actual, expected in zip(document["drives"], drives):
        where = "%s drive %s" % (name, expected["letter"])
        same(where + " keys", list(actual), keys)
        for key in keys:
            same("%s %s" % (where, key), actual.get(key, "(missing)"), expected[key])


RUNNER = sys.argv[1:4]
WORK = sys.argv[5] if len(sys.argv) > 5 else ""


def main():
    scenarios = pathlib.Path(sys.argv[4])
    check("list_json", scenarios, LIST, DRIVE_KEYS, PACKAGE)
    check("dry_run_json", scenarios, DRY_RUN, DRIVE_KEYS + PLAN_KEYS,
          dict(PACKAGE, date="2008/07/25"))
    for failure in failures:
        print(failure)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
