#!/usr/bin/env python3
"""test-summary.py [LANE=]BUILD-DIR...: the test cases that ran, counted.

Reads the JUnit file that ctest wrote in each build directory (junit.xml) and
counts its cases as passed, failed or skipped: one line for each lane (the
lane's name, or the build directory's), then one for all of them. The set-up
and clean-up steps of ctest fixtures (the private bus) are steps, not cases,
and are left out. A build directory without results counts as one failure.
"""
import json
import subprocess
import sys
import xml.etree.ElementTree as ET


def count(build):
    """(passed, failed, skipped) of the cases in BUILD's junit.xml."""
    try:
        cases = list(ET.parse(f"{build}/junit.xml").getroot().iter("testcase"))
        shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True, check=True)
    except (OSError, ET.ParseError, subprocess.CalledProcessError) as e:
        print(f"{build}: no test results ({e})", file=sys.stderr)
        return 0, 1, 0
    steps = {t["name"] for t in json.loads(shown.stdout)["tests"]
             if any(p["name"] in ("FIXTURES_SETUP", "FIXTURES_CLEANUP") for p in t.get("properties", []))}
    passed = failed = skipped = 0
    for case in cases:
        status = case.get("status")
        if case.get("name") in steps and status == "run":
            continue
        if status == "run":
            passed += 1
        elif status == "notrun" and case.find("skipped") is not None:
            skipped += 1
        else:
            failed += 1
    return passed, failed, skipped


def line(passed, failed, skipped):
    return f"{passed} passed, {failed} failed, {skipped} skipped"


totals = [0, 0, 0]
lanes = []
for argument in sys.argv[1:]:
    name, _, build = argument.rpartition("=")
    counts = count(build)
    lanes.append(f"{name or build}: {line(*counts)}")
    totals = [t + c for t, c in zip(totals, counts)]
if len(lanes) > 1:
    print("; ".join(lanes))
print("all: " + line(*totals))
sys.exit(1 if totals[1] or not totals[0] else 0)
