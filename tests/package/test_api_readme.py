"""The README's quick start runs as printed."""

import os
import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_quick_start_runs(tmp_path, capsys, monkeypatch):
    text = README.read_text()
    section = text[text.index("## Quick start"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README quick start", "exec"), {})
    assert capsys.readouterr().out.splitlines() == ["sku:1001 1999", "sku:1002 14900"]
    assert os.listdir(tmp_path) == ["products.trnk"]
