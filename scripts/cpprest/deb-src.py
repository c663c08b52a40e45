#!/usr/bin/env python3
"""Prints the deb822 stanza of a deb-src entry for <suite> <component>, copied from the deb entry
that serves them (same URI, same Signed-By keyring), or nothing when apt already has such a
deb-src entry.

Usage: deb-src.py <suite> <component> [<apt sources folder>]
Exit status 2 when no deb entry serves <suite> <component>.
"""
import pathlib
import sys


def one_line_entries(text):
    """Entries of a one-line-style .list file as (types, uris, suites, components, options)."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        words = line.split()
        kind, options = words[0], {}
        words = words[1:]
        if words and words[0].startswith("["):
            option_words = []
            while words:
                word = words.pop(0)
                option_words.append(word)
                if word.endswith("]"):
                    break
            for item in " ".join(option_words).strip("[]").split():
                if "=" in item:
                    key, value = item.split("=", 1)
                    options[key.lower()] = value
        if len(words) < 2:
            continue
        yield {kind}, {words[0]}, {words[1]}, set(words[2:]), options


def deb822_entries(text):
    """Stanzas of a .sources file, with the fields this script needs."""
    for stanza in text.split("\n\n"):
        fields, key = {}, None
        for line in stanza.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0] in " \t" and key:
                fields[key] += "\n " + line.strip()  # keeps an embedded key block intact
                continue
            if ":" not in line:
                continue
            key, value = line.split(":", 1)
            key = key.strip().lower()
            fields[key] = value.strip()
        if fields.get("enabled", "yes").lower() == "no" or "types" not in fields:
            continue
        options = {"signed-by": fields["signed-by"]} if "signed-by" in fields else {}
        yield (set(fields["types"].split()), set(fields.get("uris", "").split()),
               set(fields.get("suites", "").split()), set(fields.get("components", "").split()),
               options)


def entries(folder):
    main_list = folder / "sources.list"
    if main_list.is_file():
        yield from one_line_entries(main_list.read_text(errors="replace"))
    parts = folder / "sources.list.d"
    for file in sorted(parts.glob("*.list")) if parts.is_dir() else []:
        yield from one_line_entries(file.read_text(errors="replace"))
    for file in sorted(parts.glob("*.sources")) if parts.is_dir() else []:
        yield from deb822_entries(file.read_text(errors="replace"))


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(f"usage: {argv[0]} <suite> <component> [<apt sources folder>]")
    suite, component = argv[1], argv[2]
    folder = pathlib.Path(argv[3] if len(argv) == 4 else "/etc/apt")
    found = [e for e in entries(folder) if suite in e[2] and component in e[3]]
    binary = [e for e in found if "deb" in e[0]]
    if not binary:
        print(f"deb-src.py: no deb entry for {suite} {component} in {folder}", file=sys.stderr)
        return 2
    types, uris, _, _, options = binary[0]
    uri = sorted(uris)[0]
    if any("deb-src" in e[0] and uri in e[1] for e in found):
        return 0
    print("Types: deb-src")
    print(f"URIs: {uri}")
    print(f"Suites: {suite}")
    print(f"Components: {component}")
    if "signed-by" in options:
        print(f"Signed-By: {options['signed-by']}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
