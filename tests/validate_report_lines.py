"""Validates each line of a JSON Lines log against a draft 2020-12 JSON Schema.

Usage: validate_report_lines.py SCHEMA LOG. Exits 1 when any line fails.
"""
import json
import sys

from jsonschema import Draft202012Validator

schema_path, log_path = sys.argv[1:3]
with open(schema_path, encoding="utf-8") as schema_file:
    schema = json.load(schema_file)
Draft202012Validator.check_schema(schema)
validator = Draft202012Validator(schema)

try:
    with open(log_path, encoding="utf-8", newline="") as log_file:
        # Only a line feed ends a report line: recognized text may hold U+2028.
        lines = log_file.read().split("\n")[:-1]
except FileNotFoundError:
    lines = []

failures = 0
for number, line in enumerate(lines, 1):
    for error in validator.iter_errors(json.loads(line)):
        failures += 1
        print(f"line {number}: {error.message} at {list(error.absolute_path)}: {line}")
print(f"{len(lines)} report line(s) checked against {schema_path}, {failures} failure(s)")
sys.exit(1 if failures else 0)
