#!/usr/bin/python3
# Prints what a hive holds, read with python3-hivex rather than the code
# under test: hive_state.py HIVE 'KEY|NAME|NAME...' ...
# For each key a line "1" or "0", then for each name "TYPE HEX" or "-".
import sys

import hivex

hive = hivex.Hivex(sys.argv[1])


def node(path):
    found = hive.root()
    for part in filter(None, path.split("\\")):
        found = hive.node_get_child(found, part)
        if found is None:
            return None
    return found


for wanted in sys.argv[2:]:
    key, *names = wanted.split("|")
    found = node(key)
    print(0 if found is None else 1)
    for name in names:
        try:
            kind, data = hive.value_value(hive.node_get_value(found, name))
            print(kind, data.hex())
        except (RuntimeError, TypeError):
            print("-")
