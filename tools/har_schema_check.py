#!/usr/bin/python3
"""Checks HAR files against the HAR 1.2 JSON schema of npm's har-schema package.

Usage: har_schema_check.py SCHEMA_DIR FILE...   (SCHEMA_DIR: node_modules/har-schema/lib)
Exit status 0 when every file is valid, 1 when one is not, 2 when the tools are missing.
"""
import json
import pathlib
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(2)


def main():
    schema_dir = pathlib.Path(sys.argv[1])
    if not (schema_dir / "har.json").is_file():
        print(f"no HAR schema in {schema_dir}: run tools/setup.sh", file=sys.stderr)
        return 2
    store = {}
    for path in schema_dir.glob("*.json"):
        schema = json.loads(path.read_text())
        store[path.name] = schema
        store[path.name + "#"] = schema
    root = store["har.json"]
    resolver = jsonschema.RefResolver(base_uri="", referrer=root, store=store)
    validator = jsonschema.Draft6Validator(root, resolver=resolver,
                                           format_checker=jsonschema.FormatChecker())
    status = 0
    for name in sys.argv[2:]:
        errors = list(validator.iter_errors(json.loads(pathlib.Path(name).read_text())))
        for error in errors[:20]:
            print(f"{name}: {'/'.join(map(str, error.absolute_path))}: {error.message}", file=sys.stderr)
        status = status or (1 if errors else 0)
    return status


if __name__ == "__main__":
    sys.exit(main())
