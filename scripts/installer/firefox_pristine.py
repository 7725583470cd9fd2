#!/usr/bin/env python3
"""Whether Firefox's policies.json (the first argument) means again what it
meant before Amparo: the same JSON as the copy noted then (the second), or,
with an empty second argument, no policies at all. Status 0 when it does, 1
when it does not or either file cannot be read as JSON (common.sh's
restore_firefox_pristine)."""
import json
import sys

try:
    with open(sys.argv[1], encoding="utf-8") as now:
        current = json.load(now)
    then = {"policies": {}}
    if sys.argv[2]:
        with open(sys.argv[2], encoding="utf-8") as handle:
            then = json.load(handle)
except (OSError, ValueError):
    sys.exit(1)
sys.exit(0 if current == then else 1)
