"""Helpers for the command-line tests: run the real command in a child process, write inputs,
read stores back through the native reader (independently of the command under test)."""

from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import msgpack

from tarnkv import _tarnkv

HEADER = struct.Struct(">4sB3xIIQQI4x")


@dataclass
class Result:
    status: int
    out: bytes
    err: str

    @property
    def text(self) -> str:
        return self.out.decode()

    def lines(self) -> list[str]:
        return self.text.splitlines()

    def json_lines(self) -> list:
        return [json.loads(line) for line in self.lines()]


def child_env(**extra: str) -> dict[str, str]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    env.pop("COLUMNS", None)
    env.update(extra)
    return env


def run_cli(*args: object, stdin: bytes | None = None, timeout: float = 120, **env: str) -> Result:
    proc = subprocess.run([sys.executable, "-m", "tarnkv", *map(str, args)], input=stdin,
                          capture_output=True, timeout=timeout, env=child_env(**env))
    return Result(proc.returncode, proc.stdout, proc.stderr.decode("utf-8", "replace"))


def read_store(path: Path | str) -> dict[bytes, object]:
    """Every key's exact bytes and its decoded object, parsed straight from the file after the
    native reader has checked it."""
    _tarnkv._TarnReader(str(path)).verify()
    data = Path(path).read_bytes()
    _, _, num_keys, _, index_offset, _, _ = HEADER.unpack_from(data)
    out, pos = {}, index_offset
    for _ in range(num_keys):
        (klen,) = struct.unpack_from(">H", data, pos)
        key = data[pos + 2: pos + 2 + klen]
        (offset,) = struct.unpack_from(">Q", data, pos + 2 + klen)
        (olen,) = struct.unpack_from(">I", data, offset)
        out[key] = msgpack.unpackb(data[offset + 8: offset + 8 + olen], raw=False,
                                   strict_map_key=False)
        pos += 10 + klen
    return out


def write_jsonl(path: Path, records: list) -> Path:
    path.write_text("".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records), encoding="utf-8")
    return path
