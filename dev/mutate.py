#!/usr/bin/python3
"""Mutation testing of the library and the pxr command.

Each mutant changes one operator, literal, returned value or call on one line of one source
file; the build is redone incrementally (one compile, one link: the mutation build links the
tests against shared libraries) and the whole suite runs with --stop-on-failure and a short
per-test time limit, so a mutant that makes something hang is told apart from one a test
catches. Prints each mutant's fate and the score; the sources are restored whatever happens.

Settings (environment): MUTATE_SEED, MUTATE_SAMPLE (mutants to run), MUTATE_FILES (globs,
space-separated), MUTATE_LINES (file:first-last,... restricts the candidates to those lines),
MUTATE_TIMEOUT (seconds per test), MUTATE_JOBS (ctest -j), MUTATE_BUILD (build directory),
MUTATE_LOG (a tab-separated record of every fate), MUTATE_EXCLUDE (ctest -E regex),
MUTATE_LIST (a file of hand-written mutants, run instead of a sample: one per line,
"path | old text | new text | what it breaks", the old text found exactly once in the file,
"\\n" in it for a line break and "\\|" for a bar; "#" starts a comment line).
"""

import functools
import glob
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_FILES = "env/*.cpp msg/*.cpp plat/*.cpp util/*.cpp dump/*.cpp tools/*.cpp"
# Tests that look at the build rather than at behaviour: the export list differs on purpose in
# the mutation build; the header, README and packaging checks compile no library source.
DEFAULT_EXCLUDE = "shared_library_exports|header_compiles|readme_code_blocks|cxx_header_names|python_package"

REL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGIC = {"&&": "||", "||": "&&"}
ARITH = {"+": "-", "-": "+"}
NAMED = {"PXR_OK": "PXR_FAIL", "PXR_FAIL": "PXR_OK", "PXR_BAD": "PXR_OK", "true": "false",
         "false": "true"}
NOT_CALLS = {"return", "if", "while", "for", "switch", "case", "sizeof", "static_assert",
             "delete", "new", "else", "do"}
# Diagnostics to standard error change no result a caller sees.
QUIET_CALLS = re.compile(r"^\s*(std::)?(perror|fprintf\(stderr|fflush)\b")

RE_REL = re.compile(r"(?<= )(<=|>=|==|!=|<|>)(?= )")
RE_LOGIC = re.compile(r"(?<= )(&&|\|\|)(?= )")
RE_NOT = re.compile(r"(?<=[( ])!(?=[\w(])")
RE_ARITH = re.compile(r"(?<=[\w)\]] )([+-])(?= [\w(])")
RE_LIT = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
RE_RETURN = re.compile(r"\breturn (.+);")
RE_CALL = re.compile(r"^(\s*)((?:\(void\))?\s*[\w:]+(?:(?:\.|->)[\w]+)*\s*\(.*\)\s*;)\s*$")
RE_NAMED = re.compile(r"\b(PXR_OK|PXR_FAIL|PXR_BAD|true|false)\b")


def mask(lines):
    """Lines with comments, string and character literals blanked (columns kept)."""
    out, in_block = [], False
    for line in lines:
        chars, i, n = list(line), 0, len(line)
        while i < n:
            if in_block:
                end = line.find("*/", i)
                stop = n if end < 0 else end + 2
                chars[i:stop] = " " * (stop - i)
                in_block, i = end < 0, stop
            elif line.startswith("//", i):
                chars[i:n] = " " * (n - i)
                i = n
            elif line.startswith("/*", i):
                in_block = True
            elif line[i] in "\"'":
                q, j = line[i], i + 1
                while j < n and line[j] != q:
                    j += 2 if line[j] == "\\" else 1
                chars[i + 1 : min(j, n)] = " " * (min(j, n) - i - 1)
                i = j + 1
            else:
                i += 1
        out.append("".join(chars))
    return out


def line_mutants(code, statement_start=True):
    """(column, old text, new text, kind) for one masked line."""
    found = []
    for m in RE_REL.finditer(code):
        found.append((m.start(), m.group(1), REL[m.group(1)], "relational"))
    for m in RE_LOGIC.finditer(code):
        found.append((m.start(), m.group(1), LOGIC[m.group(1)], "logical"))
    for m in RE_NOT.finditer(code):
        found.append((m.start(), "!", "", "logical"))
    for m in RE_ARITH.finditer(code):
        found.append((m.start(), m.group(1), ARITH[m.group(1)], "arithmetic"))
    for m in RE_NAMED.finditer(code):
        found.append((m.start(), m.group(1), NAMED[m.group(1)], "constant"))
    for m in RE_LIT.finditer(code):
        text = m.group(1)
        if text[:2].lower() == "0x":
            value, fmt = int(text, 16), hex
        elif len(text) > 1 and text[0] == "0":
            value, fmt = int(text, 8), lambda v: "0" + oct(v)[2:]
        else:
            value, fmt = int(text), str
        # One off-by-one per literal keeps the sample from being mostly literals.
        if value > 0:
            found.append((m.start(1), text, fmt(value - 1), "minus-one"))
        else:
            found.append((m.start(1), text, fmt(value + 1), "plus-one"))
    m = RE_RETURN.search(code)
    if m and not RE_NAMED.fullmatch(m.group(1).strip()) and not RE_LIT.fullmatch(m.group(1)):
        found.append((m.start(1), m.group(1), "{}", "return"))
    m = RE_CALL.match(code) if statement_start else None
    if m and m.group(2).split("(")[0].strip() not in NOT_CALLS and not QUIET_CALLS.match(code):
        found.append((m.start(2), m.group(2), "(void)0;", "deleted-call"))
    return found


def parse_lines(text):
    wanted = {}
    for item in filter(None, (s.strip() for s in text.split(","))):
        path, _, rng = item.partition(":")
        first, _, last = rng.partition("-")
        lo = int(first) if first else 1
        hi = int(last) if last else (lo if first else 10**9)
        wanted.setdefault(os.path.normpath(path), []).append((lo, hi))
    return wanted


def candidates(files, wanted):
    result = []
    for path in files:
        with open(os.path.join(ROOT, path)) as f:
            lines = f.read().split("\n")
        ranges = wanted.get(os.path.normpath(path)) if wanted else None
        if wanted and ranges is None:
            continue
        previous = ";"
        for no, code in enumerate(mask(lines), 1):
            stripped = code.strip()
            after = previous
            if stripped:
                previous = stripped
            if ranges and not any(lo <= no <= hi for lo, hi in ranges):
                continue
            if not stripped or stripped.startswith("#") or "static_assert" in code:
                continue
            starts = after.endswith((";", "{", "}", ")", ":")) or after.endswith("else")
            for col, old, new, kind in line_mutants(code, starts):
                # The masked text blanks strings; the mutant replaces the real text.
                old = lines[no - 1][col : col + len(old)]
                result.append((path, no, col, old, new, kind))
    return result


def listed(path):
    """Hand-written mutants: (path, old, new, what) with the old text unique in its file."""
    result = []
    with open(path) as f:
        for no, line in enumerate(f, 1):
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            parts = [x.strip().replace("\0", "|")
                     for x in line.rstrip("\n").replace("\\|", "\0").split(" | ")]
            if len(parts) != 4:
                sys.exit(f"mutate: {path}:{no}: want 'path | old | new | what'")
            src, old, new, what = parts
            old, new = old.replace("\\n", "\n"), new.replace("\\n", "\n")
            with open(os.path.join(ROOT, src)) as g:
                found = g.read().count(old)
            if found != 1:
                sys.exit(f"mutate: {path}:{no}: the old text occurs {found} times in {src}")
            result.append((src, old, new, what))
    return result


def change_line(text, no, col, old, new):
    """The text with old, found at line no and column col, replaced by new."""
    lines = text.split("\n")
    line = lines[no - 1]
    assert line[col : col + len(old)] == old, (no, col, old)
    lines[no - 1] = line[:col] + new + line[col + len(old) :]
    return "\n".join(lines)


def run(cmd, timeout=None):
    # In a session of its own, so that whatever a mutant left running (a test's grandchildren,
    # which the test's time-out does not reach) goes with the run instead of spinning on.
    with subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, start_new_session=True) as p:
        try:
            out, _ = p.communicate(timeout=timeout)
        finally:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return p.returncode, out


class Sources:
    """Keeps the original text of every touched file and puts it back."""

    def __init__(self):
        self.saved = {}

    def apply(self, path, change):
        """Writes change(original text) over the file."""
        full = os.path.join(ROOT, path)
        if path not in self.saved:
            with open(full) as f:
                self.saved[path] = f.read()
        with open(full, "w") as f:
            f.write(change(self.saved[path]))

    def restore(self, path=None):
        for p in [path] if path else list(self.saved):
            if p in self.saved:
                with open(os.path.join(ROOT, p), "w") as f:
                    f.write(self.saved.pop(p))


def suite(build, jobs, exclude):
    start = time.time()
    rc, out = run(["ctest", "--test-dir", build, "--stop-on-failure", "-j", str(jobs),
                   "-E", exclude])
    failed = re.findall(r"Test\s+#\d+: (\S+) \.+\*+(\w+)", out)
    if rc == 0:
        return "survived", "", time.time() - start
    # A test that failed on its own catches the mutant, even when another one (still running
    # when the suite stopped) hung beside it.
    caught = [name for name, how in failed if not how.startswith("Timeout")]
    if caught or not failed:
        return "killed", caught[0] if caught else "?", time.time() - start
    return "time-out", failed[0][0], time.time() - start


def main():
    env = os.environ.get
    seed, sample = int(env("MUTATE_SEED", "1")), int(env("MUTATE_SAMPLE", "150"))
    timeout, jobs = int(env("MUTATE_TIMEOUT", "30")), int(env("MUTATE_JOBS", "6"))
    build = env("MUTATE_BUILD", "build-mutate")
    exclude = env("MUTATE_EXCLUDE") or DEFAULT_EXCLUDE
    log_path = env("MUTATE_LOG", os.path.join(build, "mutants.tsv"))
    files = sorted({os.path.relpath(p, ROOT) for pat in (env("MUTATE_FILES") or DEFAULT_FILES).split()
                    for p in glob.glob(os.path.join(ROOT, pat))})
    # Each mutant: (file, its change from the original text to the mutated one, what it is).
    if env("MUTATE_LIST"):
        chosen = [(src, lambda text, old=old, new=new: text.replace(old, new, 1),
                   f"{src}: {what} ('{old}' -> '{new}')")
                  for src, old, new, what in listed(env("MUTATE_LIST"))]
        print(f"mutate: {len(chosen)} listed mutants from {env('MUTATE_LIST')}; "
              f"{timeout} s per test", flush=True)
    else:
        pool = candidates(files, parse_lines(env("MUTATE_LINES") or ""))
        picked = random.Random(seed).sample(pool, min(sample, len(pool)))
        picked.sort(key=lambda c: (c[0], c[1], c[2], c[4]))  # one file at a time: fewer rebuilds
        chosen = [(path, functools.partial(change_line, no=no, col=col, old=old, new=new),
                   f"{path}:{no}:{col + 1} {kind} '{old}' -> '{new}'")
                  for path, no, col, old, new, kind in picked]
        print(f"mutate: {len(pool)} candidates in {len(files)} files, seed {seed}, "
              f"running {len(chosen)}; {timeout} s per test", flush=True)

    rc, out = run(["cmake", "-S", ".", "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                   # the tests' optimisation level, without debug information: faster links
                   "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
                   "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
                   "-DPXR_MUTATION_BUILD=ON", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
                   f"-DPXR_TEST_TIMEOUT={timeout}"])
    if rc != 0:
        sys.exit("mutate: configure failed\n" + out)
    if run(["cmake", "--build", build, "-j", env("MUTATE_BUILD_JOBS", "1")])[0] != 0:
        sys.exit("mutate: the unmutated sources do not build")
    fate, test, secs = suite(build, jobs, exclude)
    if fate != "survived":
        sys.exit(f"mutate: the unmutated suite fails ({test}); fix it first")
    print(f"mutate: the unmutated suite passes in {secs:.0f} s", flush=True)

    sources = Sources()

    def stop(signum, _frame):
        sources.restore()
        sys.exit(128 + signum)

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    counts = {"killed": 0, "time-out": 0, "survived": 0, "no-build": 0}
    survivors = []
    with open(log_path, "w") as log:
        try:
            for i, (path, change, what) in enumerate(chosen, 1):
                sources.apply(path, change)
                rc, _ = run(["cmake", "--build", build, "-j", env("MUTATE_BUILD_JOBS", "1")])
                if rc != 0:
                    fate, test, secs = "no-build", "", 0.0
                else:
                    fate, test, secs = suite(build, jobs, exclude)
                sources.restore(path)
                counts[fate] += 1
                if fate == "survived":
                    survivors.append(what)
                label = {"killed": "killed", "time-out": "killed by time-out",
                         "survived": "SURVIVED", "no-build": "did not build"}[fate]
                print(f"[{i}/{len(chosen)}] {label:<19} {what}" + (f"  ({test}, {secs:.0f} s)"
                      if test else f"  ({secs:.0f} s)" if fate == "survived" else ""),
                      flush=True)
                log.write(f"{fate}\t{what}\t{test}\t{secs:.1f}\n")
                log.flush()
        finally:
            sources.restore()
            # Leave the build dir matching the sources again.
            run(["cmake", "--build", build, "-j", env("MUTATE_BUILD_JOBS", "1")])
    ran = counts["killed"] + counts["time-out"] + counts["survived"]
    score = 100.0 * (counts["killed"] + counts["time-out"]) / ran if ran else 0.0
    print(f"mutate: {ran} mutants ran: {counts['killed']} killed, {counts['time-out']} killed "
          f"by time-out, {counts['survived']} survived; {counts['no-build']} did not build")
    print(f"mutate: score {score:.1f}%")
    for s in survivors:
        print(f"  survived: {s}")


if __name__ == "__main__":
    main()
