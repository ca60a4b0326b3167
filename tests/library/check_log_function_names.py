#!/usr/bin/env python3
"""A log line names the function it is written for: inside a lambda the
compiler's function-name macros name the lambda ("operator()", or the
enclosing function decorated with "<lambda>"), so no lambda body may use
them; it takes the enclosing function's name from a variable instead.

Usage: check_log_function_names.py <folder>...
"""
import os
import re
import sys

NAME_MACROS = re.compile(r"\b(__FUNCTION__|__func__|__PRETTY_FUNCTION__|KZLOG\s*\(|KZDebugFunction\b)")
# What may stand between a lambda's introducer and its body: parameters,
# specifiers, a trailing return type.
BETWEEN = re.compile(r"\s*(\((?:[^()]|\([^()]*\))*\))?\s*(mutable|constexpr|noexcept|\s)*\s*(->\s*[^{;()]+)?\s*\{")


def blank_comments_and_strings(text):
    """The text with comments and literals replaced by spaces (lines kept)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c in "\"'":
            if c == "'" and i > 0 and (text[i - 1].isalnum()):  # a digit separator
                out.append(c)
                i += 1
                continue
            raw = c == '"' and i > 0 and text[i - 1] == "R"
            if raw:
                close = ")" + text[i + 1:text.index("(", i)] + '"'
                end = text.find(close, i) + len(close)
            else:
                end = i + 1
                while end < n and text[end] != c:
                    end += 2 if text[end] == "\\" else 1
                end += 1
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:end - 1]) + c)
            i = end
        else:
            out.append(c)
            i += 1
    return "".join(out)


def matching(text, open_index, opening, closing):
    depth = 0
    for index in range(open_index, len(text)):
        if text[index] == opening:
            depth += 1
        elif text[index] == closing:
            depth -= 1
            if depth == 0:
                return index
    return len(text) - 1


def lambda_bodies(text):
    for match in re.finditer(r"\[", text):
        start = match.start()
        if text.startswith("[[", start) or (start > 0 and text[start - 1] == "["):
            continue  # an attribute
        before = text[:start].rstrip()
        if before and (before[-1].isalnum() or before[-1] in "_)]") and not re.search(r"\breturn$", before):
            continue  # a subscript or an array declarator
        close = matching(text, start, "[", "]")
        after = BETWEEN.match(text, close + 1)
        if not after:
            continue
        body_open = after.end() - 1
        yield body_open, matching(text, body_open, "{", "}")


def main():
    failures = 0
    for top in sys.argv[1:]:
        for folder, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith((".h", ".cc")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as source:
                    text = blank_comments_and_strings(source.read())
                for body_open, body_close in lambda_bodies(text):
                    for use in NAME_MACROS.finditer(text, body_open, body_close):
                        line = text.count("\n", 0, use.start()) + 1
                        print(f"{path}:{line}: {use.group(1).strip()} inside a lambda names the lambda, "
                              f"not the function")
                        failures += 1
    print(f"{failures} function names logged from inside a lambda")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
