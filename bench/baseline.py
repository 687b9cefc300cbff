#!/usr/bin/env python3
"""The straightforward way to do spansift's job, for comparison in the benchmark.

    baseline.py FOLDER

Reads every .json export in FOLDER with the standard json module, keeps every
trace in memory (as spansift does), then writes each trace as a one-trace
export (total, limit and offset 0, errors null) pretty-printed with two-space
indentation into FOLDER/Jaeger/<traceID>.json.

The files have the same sizes as spansift's; the bytes differ only in the key
order inside tag values and processes, which spansift sorts and this keeps.
"""
import json
import os
import sys


def main():
    folder = sys.argv[1]
    records = []
    files = 0
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if not name.endswith(".json") or not os.path.isfile(path):
            continue
        with open(path, "rb") as f:
            export = json.loads(f.read().decode("utf-8-sig"))
        files += 1
        for item in export["data"]:
            records.append({"data": [item], "total": 0, "limit": 0, "offset": 0, "errors": None})
    print(f"Extracted {len(records)} traces from {files} files.")

    out = os.path.join(folder, "Jaeger")
    os.makedirs(out, exist_ok=True)
    for record in records:
        text = json.dumps(record, indent=2, ensure_ascii=False, separators=(",", ": "))
        with open(os.path.join(out, record["data"][0]["traceID"] + ".json"), "wb") as f:
            f.write(text.encode("utf-8"))
    print(f"Written {len(records)} traces to folder Jaeger.")


if __name__ == "__main__":
    main()
