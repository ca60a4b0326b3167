#!/usr/bin/env python3
"""The library depends on the platform stand-in, never the reverse: no file
under platform/ may include a header of the library.

Every include is resolved as the compiler would (a quoted one against the
including file's folder first, then the include folders in order) and fails
when the file it reaches lies under src/ or include/blocklevel/, whatever the
spelling ("../src/...", "records/...", "blocklevel/...").

Usage: check_platform_includes.py <source root> <include folder>...
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def reached_file(including_folder, quoted, name, include_folders):
    folders = ([including_folder] if quoted else []) + include_folders
    for folder in folders:
        candidate = os.path.realpath(os.path.join(folder, name))
        if os.path.isfile(candidate):
            return candidate
    return None  # a system header


def main():
    root = os.path.realpath(sys.argv[1])
    include_folders = [os.path.realpath(folder) for folder in sys.argv[2:]]
    library = [os.path.join(root, "src"), os.path.join(root, "include", "blocklevel")]
    status = 0
    count = 0
    for folder, _, names in os.walk(os.path.join(root, "platform")):
        for name in sorted(names):
            if not name.endswith((".h", ".cc")):
                continue
            count += 1
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    reached = reached_file(folder, match.group(1) == '"', match.group(2), include_folders)
                    if reached and any(reached.startswith(top + os.sep) for top in library):
                        print(f"platform includes the library: {os.path.relpath(path, root)}:{number}: "
                              f"{line.strip()} -> {os.path.relpath(reached, root)}")
                        status = 1
    print(f"{count} platform files checked")
    return status


if __name__ == "__main__":
    sys.exit(main())
