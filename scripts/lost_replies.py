#!/usr/bin/env python3
"""After a ctest run on SimpleBLE: which failed tests show SimpleBLE's lost
D-Bus reply (its call waits 30 s and fails with "D-Bus call timed out"), a
fault that strikes calls at random and that libtavoble cannot avoid. The
lost-reply probe (tests/simpleble) reports each one, also on library threads.

    lost_replies.py BUILD JUNIT

Reads the run's JUnit file and CTest's list of failed tests, leaves only the
failed tests whose output shows a lost reply in that list (so that
`ctest --rerun-failed` runs them again) and prints them. Exit status 1 when
some failed test does not show one: that failure is not SimpleBLE's. Python 3.9.
"""
import os
import sys
import xml.etree.ElementTree as ElementTree

LOST_REPLY = ("SimpleBLE lost a D-Bus reply", "D-Bus call timed out")


def failed_outputs(junit_path):
    """Name -> output of every failed test case in the JUnit file."""
    failed = {}
    for case in ElementTree.parse(junit_path).getroot().iter("testcase"):
        if case.get("status") in ("fail", "failed") or case.find("failure") is not None:
            out = case.find("system-out")
            failed[case.get("name")] = (out.text or "") if out is not None else ""
    return failed


def main(build, junit_path):
    failed_list = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    failed = failed_outputs(junit_path)
    if not failed:
        return 0
    with open(failed_list) as f:
        entries = [line.rstrip("\n") for line in f if ":" in line]
    stalled = [e for e in entries
               if any(text in failed.get(e.split(":", 1)[1], "") for text in LOST_REPLY)]
    others = [e.split(":", 1)[1] for e in entries if e not in stalled]
    with open(failed_list, "w") as f:
        f.writelines(e + "\n" for e in stalled)
    for entry in stalled:
        print("lost reply: " + entry.split(":", 1)[1])
    for name in others:
        print("failed: " + name)
    return 1 if others else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
