#!/usr/bin/python3
"""Checks every line of a lumoQuillmon report against its JSON Schema.

validateReport.py SCHEMA REPORT: one line per violation, "<line>: <what>",
and exit status 1 when there is any; nothing and 0 otherwise.
"""
import json
import sys

import jsonschema


def main(schema_path, report_path):
    with open(schema_path, encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    validator = jsonschema.Draft202012Validator(schema)
    faults = 0
    with open(report_path, encoding="utf-8", errors="strict") as report:
        for number, line in enumerate(report, 1):
            try:
                record = json.loads(line)
            except ValueError as error:
                print(f"{number}: not JSON: {error}")
                faults += 1
                continue
            # The most specific reason, not the top-level "is not valid under any of the given schemas".
            for error in validator.iter_errors(record):
                best = jsonschema.exceptions.best_match(error.context) if error.context else error
                print(f"{number}: {best.json_path}: {best.message}")
                faults += 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
