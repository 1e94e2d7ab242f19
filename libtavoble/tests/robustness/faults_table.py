#!/usr/bin/env python3
"""Writes the fault table of docs/faults.md from faults.json, the table that
the fault-matrix tests check row by row, so the document cannot drift from
what is tested.

    faults_table.py            rewrite the table in docs/faults.md
    faults_table.py --check    fail if docs/faults.md is not up to date
"""
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
TABLE = os.path.join(HERE, "faults.json")
DOC = os.path.join(REPO, "docs", "faults.md")
BEGIN = "<!-- fault table: written by libtavoble/tests/robustness/faults_table.py -->"
END = "<!-- end of fault table -->"

STREAMS = {
    "exact": "every scan valid (1.0) and equal to what was sent; sample numbers without a gap",
    "fillers": "valid scans equal to what was sent; each lost sample a filler scan (0.0) "
               "repeating the last scan, under its own sample number",
    "uncounted": "every scan valid and equal to what was sent; without sample numbers no loss "
                 "shows, so no filler scans",
    "restarts": "every scan valid and equal to what was sent; sample numbers start again, no filler scans",
    "none": "no scan at all",
    "stops": "scans equal to what was sent until the link ends, then none; removing the callback "
             "and closing still succeed",
}
PROPERTIES = {
    "modelNumber": "model_number", "serialNumber": "serial_number",
    "firmwareRevision": "firmware_version", "hardwareRevision": "hardware_version",
    "manufacturerName": "manufacturer_name", "numberOfAcquiredChannels": "no_of_acquired_channels",
    "samplingRate": "sampling_rate",
}


def shown(value):
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return "\"%s\"" % value
    if isinstance(value, list):
        return "bytes %s" % " ".join("%02x" % b for b in value)
    if "hex" in value:
        return "bytes %s" % (value["hex"] or "(none)")
    return "%d × \"%s\"" % (value["count"], value["repeat"])


def outcome(alternative, python):
    """One outcome as the C interface (python False) or the wrapper shows it."""
    code = alternative["code"]
    if code != 0:
        text = alternative.get("text")
        if python:
            head = "`ValueError` “%s”" % text if text else "`ValueError`"
        else:
            head = "`%d` “%s”" % (code, text) if text else "`%d`" % code
    else:
        head = "opens" if python else "`0`"
    parts = [head]
    overrides = alternative.get("python", {}) if python else {}
    for field, value in alternative.get("info", {}).items():
        name = PROPERTIES[field] if python else field
        if name in overrides and isinstance(overrides[name], str):
            parts.append("`%s` raises `%s`" % (name, overrides[name]))
        elif name in overrides:
            parts.append("`%s` %s" % (name, shown(overrides[name])))
        else:
            parts.append("`%s` %s" % (name, shown(value)))
    if "secondOpen" in alternative:
        second = alternative["secondOpen"]
        same = "the same handle" if second.get("sameHandle") else "a second handle"
        parts.append("opened again: " + (("opens, " + same) if second["code"] == 0
                                         else outcome(second, python)))
    if "retry" in alternative:
        parts.append("opened again: " + outcome(alternative["retry"], python))
    if "stream" in alternative and "retry" not in alternative:
        stream = STREAMS[alternative["stream"]]
        if "battery" in alternative:
            stream += ", battery column %d" % alternative["battery"]
        parts.append(stream)
    return "; ".join(parts)


def cell(row, python):
    return " — or ".join(outcome(a, python) for a in row["expect"])


def render():
    with open(TABLE, encoding="utf-8") as f:
        table = json.load(f)
    lines = [BEGIN, "",
             "| # | Fault | C interface | Python wrapper | Why |",
             "|---|---|---|---|---|"]
    for index, row in enumerate(table["rows"]):
        lines.append("| %d | %s | %s | %s | %s |" % (
            index + 1, row["fault"], cell(row, False), cell(row, True),
            row.get("note", "").replace("|", "\\|")))
    lines += ["", END]
    return "\n".join(lines)


def main():
    with open(DOC, encoding="utf-8") as f:
        doc = f.read()
    if BEGIN not in doc or END not in doc:
        sys.exit("%s has no fault table markers" % DOC)
    before, rest = doc.split(BEGIN, 1)
    after = rest.split(END, 1)[1]
    updated = before + render() + after
    if "--check" in sys.argv:
        if updated != doc:
            sys.exit("docs/faults.md is out of date: run %s" % os.path.relpath(__file__, REPO))
        return
    with open(DOC, "w", encoding="utf-8") as f:
        f.write(updated)


if __name__ == "__main__":
    main()
