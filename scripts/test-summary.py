#!/usr/bin/env python3
"""test-summary.py BUILD-DIR...: one line counting the test cases that ran.

Reads the JUnit file that ctest wrote in each build directory (junit.xml) and
counts its cases as passed, failed or skipped. The set-up and clean-up steps of
ctest fixtures (the private bus) are steps, not cases, and are left out. A
build directory without results counts as one failure.
"""
import json
import subprocess
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for build in sys.argv[1:]:
    try:
        cases = list(ET.parse(f"{build}/junit.xml").getroot().iter("testcase"))
        shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True, check=True)
    except (OSError, ET.ParseError, subprocess.CalledProcessError) as e:
        print(f"{build}: no test results ({e})", file=sys.stderr)
        failed += 1
        continue
    steps = {t["name"] for t in json.loads(shown.stdout)["tests"]
             if any(p["name"] in ("FIXTURES_SETUP", "FIXTURES_CLEANUP") for p in t.get("properties", []))}
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

line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed or not passed else 0)
