"""Shell injection payloads shared by the process tests, and the canary check.

Every payload tries to create a canary file (by default /tmp/CANARY inside the
router root) in another way: command separators, pipes, background and list
operators, command substitution, quote breaking, escapes, line ends, field
splitting by IFS, redirections; the glob, tilde and variable payloads create
nothing but change the word when the shell expands them. A place is safe when,
for every payload, the canary stays absent and the command got the value as one
whole word (or refused it, as its logged error says).

The C++ unit tests use the same table: testing/include/rt_test/payloads.h.
"""

from __future__ import annotations

import os

from poll import within

CANARY = "/tmp/CANARY"

# (name, template): {c} is replaced by the canary path.
TABLE: list[tuple[str, str]] = [
    ("semicolon", ";touch {c};"),
    ("pipe", "|touch {c}"),
    ("background", "x&touch {c}&"),
    ("and_list", "x&&touch {c}"),
    ("or_list", "x||touch {c}"),
    ("dollar_paren", "$(touch {c})"),
    ("backquote", "`touch {c}`"),
    ("single_quote_break", "';touch {c};'"),
    ("double_quote_break", '";touch {c};"'),
    ("double_quoted_subst", '"$(touch {c})"'),
    ("escaped_single", "\\';touch {c};#"),
    ("escaped_double", '\\";touch {c};#'),
    ("quote_escape_quote", "'\\'';touch {c};'"),
    ("odd_quote", "$(touch {c})'"),
    ("backslash_end", "x\\"),
    ("newline", "x\ntouch {c}\n"),
    ("crlf", "x\r\ntouch {c}\r\n"),
    ("ifs", ";touch${{IFS}}{c}"),
    ("nested", "$(touch${{IFS}}{c})`touch {c}`\"'"),
    ("redirect", "x>{c}"),
    ("append", "x >>{c}"),
    ("blanks", " a  b\tc "),
    ("glob_star", "*"),
    ("glob_root", "/*"),
    ("glob_question", "/?in"),
    ("glob_bracket", "/[a-z]*"),
    ("glob_class", "[!.]*"),
    ("tilde", "~root"),
    ("variable", "$HOME${{PATH}}"),
    ("arithmetic", "$((6*7))"),
    ("comment", "#;touch {c}"),
]


def payloads(canary: str = CANARY, without: str = "") -> list[tuple[str, str]]:
    """The payloads as (name, text) for a canary path; payloads containing any
    character of `without` are left out (a line protocol cannot carry a line
    end, a field cannot hold its separator)."""
    out = []
    for name, template in TABLE:
        text = template.format(c=canary)
        if any(ch in text for ch in without):
            continue
        out.append((name, text))
    return out


def ids(items) -> list[str]:
    return [name for name, _ in items]


def canary_ran(root, canary: str = CANARY, settle: float = 0.0) -> bool:
    """True when the canary exists in the root; waits up to settle seconds for
    a command that may still be running in the background."""
    return within(lambda: root.exists(canary), settle)


def clear_canary(root, canary: str = CANARY) -> None:
    root.remove(canary)


def parse_quoted_calls(text: str) -> list[list[str]]:
    """The calls of a recorder log written with shlex.join, one call per line.

    Unlike shlex.split per line, a quoted argument that holds a line end stays
    one argument of its call.
    """
    calls: list[list[str]] = []
    words: list[str] = []
    word: list[str] = []
    in_word = False
    i = 0
    while i < len(text):
        ch = text[i]
        if ch == "'":
            end = text.index("'", i + 1)
            word.append(text[i + 1:end])
            in_word = True
            i = end + 1
            continue
        if ch == '"':
            # shlex.quote writes an embedded single quote as "'"
            end = text.index('"', i + 1)
            word.append(text[i + 1:end])
            in_word = True
            i = end + 1
            continue
        if ch in " \t\n":
            if in_word:
                words.append("".join(word))
            word, in_word = [], False
            if ch == "\n":
                calls.append(words)
                words = []
            i += 1
            continue
        word.append(ch)
        in_word = True
        i += 1
    if in_word:
        words.append("".join(word))
    if words:
        calls.append(words)
    return calls


def recorded_calls(root, program: str) -> list[list[str]]:
    """Argument lists the generic recorder (testing/standins/recorder) got."""
    p = root.tmp / "standin" / f"{os.path.basename(program)}.log"
    # read as bytes: text mode would turn a quoted CR LF into LF
    return parse_quoted_calls(p.read_bytes().decode()) if p.exists() else []


def clear_calls(root, program: str) -> None:
    p = root.tmp / "standin" / f"{os.path.basename(program)}.log"
    if p.exists():
        p.unlink()


class Findings:
    """Collects what went wrong over a payload table; one assert at the end
    shows every failing payload of a place at once."""

    def __init__(self, place: str):
        self.place = place
        self.items: list[str] = []

    def check(self, ok: bool, name: str, what: str) -> None:
        if not ok:
            self.items.append(f"{self.place} [{name}]: {what}")

    def assert_none(self) -> None:
        assert not self.items, "\n".join(self.items)
