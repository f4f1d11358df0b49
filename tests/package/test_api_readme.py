"""The README and the pages under docs/ mean what they say: every code sample runs, and every
link between them leads somewhere.

Per page, in a fresh directory, in page order and in one namespace (a later sample may use an
earlier one's names and files):

- a ```python block runs;
- a ```console block is a transcript: each `$ ` line runs in bash with `tarnkv` on PATH, must end
  with status 0, and must print what the lines under it show (stdout and stderr together).
  A line `...` stands for any number of lines, `...` within a line for any text, and a duration
  such as `0.32 s` for any duration;
- `<!-- setup: CODE -->` runs CODE (Python) first, for a sample that needs files it does not make
  itself; the namespace holds `write_unicode_jsonl(path)`, the demo's data set;
- a block whose first line is `# Not run by the tests: REASON` is skipped, with the reason there
  for the reader to see.

```sh blocks are commands for the reader's own machine (paths of their own) and are not run.
"""

import importlib.util
import os
import re
import shlex
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
# index.md only includes the README.
PAGES = [README] + sorted(p for p in (ROOT / "docs").glob("*.md") if p.name != "index.md")

FENCE = re.compile(r"^```(?P<lang>[\w-]*)[^\n]*\n(?P<body>.*?)^```[ \t]*$", re.M | re.S)
SETUP = re.compile(r"^<!--[ \t]*setup:[ \t]*(?P<body>.*?)-->", re.S | re.M)
SKIP = re.compile(r"\A# Not run by the tests: \S")
DURATION = r"\d+(?:\.\d+)? s\b"


def samples(page: Path):
    """(kind, line number, code) for every setup and fenced block of the page, in order."""
    text = page.read_text()
    found = [("setup", m) for m in SETUP.finditer(text)] + [("fence", m) for m in FENCE.finditer(text)]
    for kind, m in sorted(found, key=lambda item: item[1].start()):
        line = text.count("\n", 0, m.start()) + 1
        if kind == "setup":
            yield "setup", line, textwrap.dedent(m.group("body").strip("\n")).strip(" ")
        else:
            yield m.group("lang"), line + 1, m.group("body")


def transcript(code: str):
    """(command, expected output lines) for each `$ ` line of a console block."""
    steps: list[tuple[str, list[str]]] = []
    for line in code.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            assert steps, f"output before the first command: {line!r}"
            steps[-1][1].append(line)
    return steps


def output_pattern(expected: list[str]) -> re.Pattern[str]:
    parts = []
    for line in expected:
        if line.strip() == "...":
            parts.append(r"(?:[^\n]*\n)*?")
            continue
        pieces = re.split(rf"(\.\.\.|{DURATION})", line)
        parts.append("".join(".*?" if p == "..." else DURATION if re.fullmatch(DURATION, p) else re.escape(p)
                             for p in pieces) + r"\n")
    return re.compile("".join(parts))


def write_unicode_jsonl(path):
    """The data set of `make demo`: every named code point as one JSON Lines record."""
    spec = importlib.util.spec_from_file_location("tarnkv_demo", ROOT / "scripts" / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    import json

    with open(path, "w", encoding="utf-8") as f:
        for rec in demo.records():
            f.write(json.dumps(rec, ensure_ascii=False) + "\n")


@pytest.fixture
def shell_env(tmp_path_factory):
    """The environment of a console transcript: `tarnkv` on PATH as the console script would be."""
    bin_dir = tmp_path_factory.mktemp("bin")
    wrapper = bin_dir / "tarnkv"
    wrapper.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} -m tarnkv "$@"\n')
    wrapper.chmod(0o755)
    return {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}",
            "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def run_console(code: str, where: str, cwd: Path, env: dict[str, str]) -> None:
    for command, expected in transcript(code):
        proc = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, capture_output=True, text=True,
                              timeout=300)
        out = proc.stdout + proc.stderr
        assert proc.returncode == 0, f"{where}: `{command}` ended with status {proc.returncode}:\n{out}"
        if not output_pattern(expected).fullmatch(out):
            pytest.fail(f"{where}: `{command}` printed\n{out}\nwhere the page shows\n" + "\n".join(expected))


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_every_sample_runs(page, tmp_path, monkeypatch, shell_env):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__", "write_unicode_jsonl": write_unicode_jsonl}
    for lang, line, code in samples(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        if SKIP.match(code):
            continue
        if lang in ("python", "setup"):
            exec(compile(code, where, "exec"), namespace)
        elif lang == "console":
            run_console(code, where, tmp_path, shell_env)
    stop_dask_threads()


def stop_dask_threads():
    """A sample that computes on Dask's threaded scheduler leaves its pool of threads running;
    later tests fork, which a process with threads must not."""
    threaded = sys.modules.get("dask.threaded")
    if threaded is None:
        return
    pools = [getattr(threaded, "default_pool", None)]
    for per_thread in getattr(threaded, "pools", {}).values():
        pools.extend(per_thread.values())
    for pool in pools:
        if pool is not None:
            pool.shutdown(wait=True)
    threaded.default_pool = None
    getattr(threaded, "pools", {}).clear()


def test_quick_start_runs(tmp_path, capsys, monkeypatch):
    text = README.read_text()
    section = text[text.index("## Quick start"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README quick start", "exec"), {})
    assert capsys.readouterr().out.splitlines() == ["sku:1001 1999", "sku:1002 14900"]
    assert os.listdir(tmp_path) == ["products.trnk"]


def test_samples_are_found():
    """The parser sees the samples that are there: a change of fence or marker that hides them
    from the runner fails here rather than silently passing."""
    kinds = {page.name: [lang for lang, _, _ in samples(page)] for page in PAGES}
    assert kinds["README.md"] == ["sh", "python", "console"]
    assert "console" in kinds["cli.md"] and "python" in kinds["format.md"]
    skipped = [code.splitlines()[0] for page in PAGES for _, _, code in samples(page) if SKIP.match(code)]
    assert all(len(reason) > len("# Not run by the tests: ") + 10 for reason in skipped)


def test_output_patterns():
    assert output_pattern(["a: 3 keys, 0.32 s", "..."]).fullmatch("a: 3 keys, 12.5 s\nmore\nlines\n")
    assert output_pattern(['{"k":1,...}']).fullmatch('{"k":1,"v":2}\n')
    assert not output_pattern(["a: 3 keys"]).fullmatch("a: 4 keys\n")
    assert not output_pattern(["one"]).fullmatch("one\ntwo\n")
    assert output_pattern([]).fullmatch("")


def slug(heading: str) -> str:
    """The anchor GitHub (and the docs build) gives a Markdown heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower().replace("`", ""))
    return text.replace(" ", "-")


LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_links_lead_somewhere(page):
    text = FENCE.sub("", page.read_text())
    for target in LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, anchor = target.partition("#")
        dest = (page.parent / file).resolve() if file else page
        assert dest.exists(), f"{page.name}: link to {target} leads nowhere"
        if anchor:
            headings = re.findall(r"^#+ (.+)$", FENCE.sub("", dest.read_text()), re.M)
            assert anchor in {slug(h) for h in headings}, f"{page.name}: no heading {anchor!r} in {dest.name}"


def test_readme_points_at_every_page():
    linked = {m.partition("#")[0] for m in LINK.findall(README.read_text())}
    pages = {f"docs/{p.name}" for p in PAGES[1:]}
    assert pages <= linked
