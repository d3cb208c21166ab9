#!/usr/bin/env python3
"""Finds resource descriptors indexed straight through an element of a list's
List array (list->List[0].Descriptors[i]). GCC bounds such an index to the
declared single element and drops the rest of a loop at -O2; the descriptors
must be reached through a pointer to their own list (see nt/resources.h)."""
import pathlib
import re
import sys

# List[...] . [PartialResourceList .] (Descriptors|PartialDescriptors) [ anything but 0 ]
PATTERN = re.compile(
    r"\bList\s*\[[^\]]*\]\s*\.\s*(?:PartialResourceList\s*\.\s*)?(?:PartialDescriptors|Descriptors)\s*\[\s*(?!0\s*\])")
COMMENT = re.compile(r"//[^\n]*")
FOLDERS = ("card", "common", "enum", "sim", "tests", "tools")


def main():
    root = pathlib.Path(sys.argv[1])
    found = []
    for folder in FOLDERS:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h") or not path.is_file():
                continue
            # Comments may name the pattern; only code counts.
            text = COMMENT.sub("", path.read_text(encoding="utf-8", errors="replace"))
            for match in PATTERN.finditer(text):
                line = text.count("\n", 0, match.start()) + 1
                found.append(f"{path.relative_to(root)}:{line}: {match.group(0)}")
    for entry in found:
        print(entry)
    if found:
        print(f"{len(found)} descriptor index(es) through List[...]: index through a pointer to the list instead")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
