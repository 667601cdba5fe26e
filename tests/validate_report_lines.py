# Validates each line of a JSON Lines log against a draft 2020-12 JSON Schema.
# Usage: validate_report_lines.py SCHEMA LOG. Exits 1 when any line fails.
import json
import sys

from jsonschema import Draft202012Validator

schema_path, log_path = sys.argv[1:3]
with open(schema_path, encoding="utf-8") as schema_file:
    validator = Draft202012Validator(json.load(schema_file))
try:
    # Only a line feed ends a report line: recognized text may hold U+2028.
    with open(log_path, encoding="utf-8", newline="") as log_file:
        lines = log_file.read().split("\n")[:-1]
except FileNotFoundError:
    lines = []
failures = [f"line {n}: {error.message}: {line}" for n, line in enumerate(lines, 1)
            for error in validator.iter_errors(json.loads(line))]
print(*failures, f"{len(lines)} report line(s) checked against {schema_path}, {len(failures)} failure(s)", sep="\n")
sys.exit(1 if failures else 0)
