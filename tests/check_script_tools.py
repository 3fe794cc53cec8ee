#!/usr/bin/env python3
"""Every program the project's scripts run is in install-deps' command list.

scripts/install-deps ends by checking with `command -v` that each command of
its lists exists, so a fresh machine fails there, naming what is missing,
instead of in a later stage. That check is only as good as the lists: this
test reads the scripts, finds the words in command position (start of a
line, after | && || ; ( $( and the shell's keywords, after wrappers such as
env, timeout and runuser), drops shell builtins, the scripts' own functions,
variables and paths, and fails naming every program the lists lack.

    check_script_tools.py ROOT
"""
import re
import subprocess
import sys
from pathlib import Path

BUILTINS = set("""
    . : [ [[ ]] alias bg bind break builtin caller cd command compgen complete
    continue declare dirs disown echo enable eval exec exit export false fc fg
    getopts hash help history jobs kill let local logout mapfile popd printf
    pushd pwd read readarray readonly return set shift shopt source suspend
    test times trap true type typeset ulimit umask unalias unset wait
    if then else elif fi case esac for select while until do done function
    in time { } ! coproc
""".split())

# Wrappers: the command they run follows their own options.
WRAPPERS = {"env", "exec", "timeout", "runuser", "setsid", "nice", "nohup",
            "sudo", "xargs", "time", "command", "builtin"}
# Options of the wrappers above that take a value as the next word.
WRAPPER_VALUE_OPTIONS = {"-u", "-g", "-C", "--chdir", "--kill-after", "-k",
                         "-s", "--signal", "-n", "-I"}

SEPARATORS = re.compile(r"\|\||&&|\$\(|[|;()`]")
KEYWORD_STARTS = {"then", "do", "else", "elif", "if", "while", "until", "!",
                  "time"}


def without_heredocs(text):
    """TEXT without the bodies of its here-documents."""
    out, terminator = [], None
    for line in text.splitlines():
        if terminator is not None:
            if line.strip() == terminator:
                terminator = None
            continue
        m = re.search(r"<<-?\s*['\"]?([A-Za-z_][A-Za-z0-9_]*)['\"]?", line)
        if m:
            terminator = m.group(1)
        out.append(line)
    return "\n".join(out)


def skip_past(text, i, closing):
    """The index after the CLOSING that ends the expansion starting at I."""
    j = text.find(closing, i)
    return len(text) if j < 0 else j + len(closing)


def shell_lines(text):
    """The lines the shell reads as commands: comments and quoted text
    dropped (a quoted word becomes ''), continuation lines joined, and each
    $(...) inside double quotes moved to a line of its own."""
    main, extra = [], []
    frames = [["code", 0, main]]  # kind, paren depth, output
    i = 0
    while i < len(text):
        c, kind, out = text[i], frames[-1][0], frames[-1][2]
        nxt = text[i + 1] if i + 1 < len(text) else ""
        if kind == "double":
            if c == "\\":
                i += 2
                continue
            if c == '"':
                frames.pop()
                frames[-1][2].append("''")
            elif c == "$" and text.startswith("((", i + 1):
                i = skip_past(text, i, "))")
                continue
            elif c == "$" and nxt == "(":
                frames.append(["code", 0, []])
                i += 2
                continue
        else:
            if c == "\\":
                out.append(" " if nxt == "\n" else nxt)
                i += 2
                continue
            if c == "#" and (not out or out[-1] in " \t\n;("):
                while i < len(text) and text[i] != "\n":
                    i += 1
                continue
            if c == "$" and nxt == "{":
                i = skip_past(text, i, "}")
                out.append("x")
                continue
            if c == "'":
                j = text.find("'", i + 1)
                i = len(text) if j < 0 else j + 1
                out.append("''")
                continue
            if c == '"':
                frames.append(["double", 0, None])
            elif c == "(":
                frames[-1][1] += 1
                out.append(c)
            elif c == ")" and frames[-1][1] == 0 and len(frames) > 1:
                extra.append("".join(frames.pop()[2]))
            else:
                if c == ")":
                    frames[-1][1] -= 1
                out.append(c)
        i += 1
    return "".join(main).splitlines() + extra


def command_parts(lines):
    """Each simple command's words, from the lines of shell_lines()."""
    case_depth, in_array = 0, False
    for line in lines:
        if in_array:
            in_array = ")" not in line
            continue
        line = re.sub(r"\$?\(\(.*?\)\)", "", line)            # arithmetic
        line = re.sub(r"[A-Za-z_][A-Za-z0-9_]*\+?=\([^)]*\)", "", line)
        if re.search(r"[A-Za-z_][A-Za-z0-9_]*\+?=\([^)]*$", line):
            in_array = True
            continue
        if re.match(r"^\s*case\b", line):
            case_depth += 1
            continue
        if re.match(r"^\s*esac\b", line):
            case_depth -= 1
            continue
        if case_depth:
            line = re.sub(r"^\s*[^()]*\)", "", line)             # a pattern
        for part in SEPARATORS.split(line):
            words = part.split()
            while words and words[0] in KEYWORD_STARTS:
                words = words[1:]
            if words:
                yield words


def first_command(words):
    """The program a simple command runs, past assignments and wrappers."""
    i = 0
    while i < len(words):
        w = words[i].strip('"')
        if re.match(r"^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=", w):
            i += 1
            continue
        if w in ("time", "!", "exec", "command") and i + 1 < len(words):
            if w == "command" and words[i + 1] in ("-v", "-V"):
                return None  # a lookup, not a run
            i += 1
            continue
        if w in WRAPPERS and w not in ("exec", "command"):
            yield_name = w
            i += 1
            while i < len(words):
                v = words[i].strip('"')
                if v == "--":
                    i += 1
                    break
                if v in WRAPPER_VALUE_OPTIONS:
                    i += 2
                    continue
                if v == "''" or v.startswith("$"):
                    if yield_name != "env":
                        return (yield_name, None)  # a program in a variable
                    i += 1  # env's settings from an array
                    continue
                if v.startswith("-") or "=" in v \
                        or re.match(r"^[0-9]+[smh]?$", v):
                    i += 1
                    continue
                break
            return (yield_name, words[i] if i < len(words) else None)
        return (w, None)
    return None


def commands_of(path):
    """The programs PATH runs, and the functions it defines."""
    lines = shell_lines(without_heredocs(path.read_text()))
    functions = {m.group(1) for line in lines for m in [re.match(
        r"^\s*(?:function\s+)?([A-Za-z_][A-Za-z0-9_-]*)\s*\(\)", line)] if m}
    names = set()
    for words in command_parts(lines):
        for name in first_command(words) or ():
            if name and re.match(r"^[A-Za-z][A-Za-z0-9_.+-]*$", name):
                names.add(name)
    return names, functions


# Lines of shell and the programs commands_of must find in them: the ways
# the project's scripts start programs, and text that only looks like one.
PARSER_CASES = [
    ("x=$(foo -a)", {"foo"}),
    ('echo "took $(date +%s) s, $((SECONDS - t0))"', {"echo", "date"}),
    ("a | b && c || d; (e)", {"a", "b", "c", "d", "e"}),
    ("if ! f1 x; then f2; fi", {"f1", "f2"}),
    ("case $1 in\n  --x) g1 ;;\n  *) g2 \"(not this)\" ;;\nesac", {"g1", "g2"}),
    ("perl -e 'print(1); die(2)'", {"perl"}),
    ("cat <<EOF\nnotacommand here\nEOF", {"cat"}),
    ("ROWS=${2:?--rows needs a value}; shift", {"shift"}),
    ("env A=1 \"${opts[@]}\" ctest -j2", {"env", "ctest"}),
    ("runuser -u postgres -- env --chdir=/ psql -X", {"runuser", "env"}),
    ("timeout --foreground --kill-after=10 30 prog x", {"timeout", "prog"}),
    ("list=(alpha beta\n  gamma)\nh1", {"h1"}),
    ("cmd1 \\\n  --opt notcmd  # comment(word)", {"cmd1"}),
    ("command -v zz >/dev/null || yy", {"yy"}),
    ('setsid -w "$dir/prog" -t 60 start', {"setsid"}),
]


def self_test():
    """Fails when the reader misses or invents a command in PARSER_CASES."""
    import tempfile
    bad = 0
    for text, expected in PARSER_CASES:
        with tempfile.NamedTemporaryFile("w", suffix=".sh") as f:
            f.write(text + "\n")
            f.flush()
            found = commands_of(Path(f.name))[0] - BUILTINS
        if found != expected - BUILTINS:
            print(f"reader: {text!r}: found {sorted(found)}, "
                  f"expected {sorted(expected - BUILTINS)}")
            bad += 1
    return bad


def main():
    root = Path(sys.argv[1])
    if self_test():
        return 1
    scripts = [p for p in sorted((root / "scripts").iterdir()) if p.is_file()]
    scripts += sorted((root / "tests").glob("*.sh")) + [root / ".ci" / "run"]
    listed = set(subprocess.run(
        [str(root / "scripts" / "install-deps"), "--commands"],
        check=True, capture_output=True, text=True).stdout.split())
    used, functions = {}, set()
    for script in scripts:
        names, funcs = commands_of(script)
        functions |= funcs
        for name in names:
            used.setdefault(name, set()).add(str(script.relative_to(root)))
    missing = {n: s for n, s in used.items()
               if n not in BUILTINS and n not in functions and n not in listed}
    for name in sorted(missing):
        print(f"{name}: run by {', '.join(sorted(missing[name]))} "
              "but not in install-deps' command lists")
    print(f"{len(used)} command words in {len(scripts)} scripts; "
          f"{len(listed)} commands listed; {len(missing)} missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
