"""The command line's grammar: subcommands, their options, and --help texts with examples."""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn

from tarnkv.cli.errors import FAIL
from tarnkv.cli.inputs import FORMATS

DESCRIPTION = """\
Build immutable single-file key -> object stores (.trnk) from data files, look inside them,
check them and install them next to running readers. Every command that reads a store also
reads a store set (a directory of shard stores with a manifest.json) as one store.

exit status: 0 success, 1 the answer is no (a key is missing, a store is corrupt, stores
differ), 2 usage, bad input or an I/O error.
"""

KEYS_AND_VALUES = """\
keys and values in JSON output:
  Keys and objects print as JSON. Values JSON has no form for are wrapped: bytes as
  {"$bytes": "<base64>"}, a MessagePack extension value (a timestamp too) as
  {"$ext": <code>, "$bytes": ...}, NaN and the infinities as {"$float": "NaN"} ("Infinity",
  "-Infinity"), and a map whose keys are not all text (or look like these wrappers) as
  {"$map": [[key, value], ...]}; a key that is not UTF-8 prints as {"$bytes": "<base64>"} too.
  `tarnkv build` unwraps them, so a dump builds back into the same store.
"""

BUILD_EPILOG = """\
examples:
  tarnkv build products.jsonl -o products.trnk --key sku --alias ean
  tarnkv build users.csv.gz -o users.trnk --key id --value name
  zcat dump.jsonl.gz | tarnkv build - -o copy.trnk --key key --value value
  tarnkv build events-*.jsonl -o events.set --key id --shards 64 --workers 8
  tarnkv build events-*.jsonl -o /shared/events.set --key id --shards 512 --scheduler tcp://head:8786

store sets:
  --shards N writes a store set: a directory of N shard stores and a manifest.json, written
  last (a set appears whole or not at all; an existing set at OUT is replaced). A key lives in
  shard xxh3_64(key) % N, and an object whose keys fall in several shards is stored in each.
  The build runs on a local cluster of --workers processes or on the Dask cluster at
  --scheduler, whose workers must see the inputs and OUT under the same paths. Plain JSON
  Lines files are split among the workers; compressed files, CSV, TSV and Parquet are read
  whole by one worker each (split large ones into several files). Duplicate keys are found
  across all inputs; first and last mean first and last in the order of the inputs.

inputs:
  JSON Lines (.jsonl .ndjson .json: one object per line), CSV (.csv) and TSV (.tsv .tab)
  with a header row (UTF-8, byte-order mark tolerated, quoted fields; every cell is text,
  except that an empty cell is null: write "" for the empty string),
  Parquet (.parquet .pq). Compressed inputs (.gz .zst .bz2 .xz) are read as they stream;
  "-" reads standard input (JSON Lines unless --format or the content says otherwise).

keys:
  A string key is used as it is. Other key values become text: numbers as JSON writes them
  (42, 1.5, 1e+100), true/false, dates and times in ISO 8601, decimals as written; bytes
  (Parquet binary) are used verbatim. A record without its key field, or whose key is null,
  an object or an array, is bad input. An --alias field may hold a list of keys; a missing
  alias field is bad input, a null one adds no key.

values:
  The whole record is the object unless --value names one field. CSV cells stay text unless
  --json-values says the --value column holds JSON text (as `dump --format csv` writes it).
  Parquet dates, times and decimals are stored as ISO 8601 / decimal text, with every digit
  of a fraction (nanoseconds too); durations as whole nanoseconds. An integer value beyond
  64 bits (MessagePack's range) is bad input unless --big-ints text stores it as its digits;
  as a key it keeps its digits.

  Bad input ends the build with status 2 and names the file and line (row for Parquet);
  nothing is written and an existing OUT is left as it was.
"""


class Parser(argparse.ArgumentParser):
    """argparse, with usage errors ending in status 2 after one line on standard error."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} (see {self.prog} --help)\n")
        sys.exit(FAIL)


def _formatter(prog: str) -> argparse.HelpFormatter:
    return argparse.RawDescriptionHelpFormatter(prog, max_help_position=30)


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _compression(text: str) -> tuple[str, int]:
    """``zstd`` or ``zstd:LEVEL`` as (method, level)."""
    method, colon, level = text.partition(":")
    if method != "zstd":
        raise argparse.ArgumentTypeError(f"unknown compression {method!r} (zstd or zstd:LEVEL)")
    if not colon:
        return method, 3
    try:
        value = int(level)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {level!r}") from None
    if not 1 <= value <= 22:
        raise argparse.ArgumentTypeError(f"zstd levels are 1 to 22, not {value}")
    return method, value


def _size(text: str) -> int:
    from tarnkv.writer import parse_size

    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _at_least_one(text: str) -> int:
    value = _positive(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _storage_option(text: str) -> tuple[str, object]:
    """``KEY=VALUE`` as (key, value): the value as JSON when it parses as JSON (numbers,
    true/false, objects), else as the text it is."""
    import json

    key, eq, value = text.partition("=")
    key = key.strip()
    if not eq or not key:
        raise argparse.ArgumentTypeError(f"not KEY=VALUE: {text!r}")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


#: The commands that take URLs, and so storage options for them.
_URL_COMMANDS = frozenset({"build", "get", "keys", "prefix", "dump", "stats", "verify", "cp", "diff"})


def build_parser() -> Parser:
    top = Parser(prog="tarnkv", description=DESCRIPTION, epilog=KEYS_AND_VALUES,
                 formatter_class=_formatter)
    from tarnkv import __version__

    top.add_argument("--version", action="version", version=f"tarnkv {__version__}")
    sub = top.add_subparsers(dest="command", metavar="COMMAND", required=True,
                             parser_class=Parser)

    def command(name: str, summary: str, epilog: str) -> Parser:
        p: Parser = sub.add_parser(name, help=summary, description=summary, epilog=epilog,
                                   formatter_class=_formatter)
        if name in _URL_COMMANDS:
            p.add_argument("--storage-option", dest="storage_options", action="append", default=[],
                           type=_storage_option, metavar="KEY=VALUE",
                           help="an option for the stores at URLs (repeatable; VALUE as JSON when it "
                                "parses, else text): endpoint_url, key, secret, region_name, timeout, ...")
        return p

    p = command("build", "Build a store from JSON Lines, CSV, TSV or Parquet files.", BUILD_EPILOG)
    p.add_argument("inputs", nargs="+", metavar="INPUT", help='input files; "-" for standard input')
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="the store file to write")
    p.add_argument("--key", required=True, metavar="FIELD", help="the field whose value is the key")
    p.add_argument("--alias", action="append", default=[], metavar="FIELD",
                   help="a field holding another key for the same object (repeatable)")
    p.add_argument("--value", metavar="FIELD", help="store this field's value, not the whole record")
    p.add_argument("--format", choices=FORMATS, help="the inputs' format (default: from the name)")
    p.add_argument("--on-duplicate", choices=("error", "first", "last"), default="error",
                   help="a key seen again: bad input (default), keep the first, or the last")
    p.add_argument("--json-values", action="store_true",
                   help="CSV/TSV: the --value column holds JSON text")
    p.add_argument("--big-ints", choices=("error", "text"), default="error",
                   help="an integer value beyond 64 bits: bad input (default), or stored as its digits")
    p.add_argument("--compress", type=_compression, metavar="zstd[:LEVEL]",
                   help="store objects compressed with zstd (level 1-22, default 3) and a dictionary "
                        "trained on a sample of the records; pays for many similar records, not tiny or random ones")


    p.add_argument("--memory-limit", type=_size, metavar="SIZE",
                   help="past SIZE (512M, 2G), spill sorted runs beside OUT and merge them "
                        "(default: a quarter of the machine's memory)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line")
    sharding = p.add_argument_group("store sets (built by a Dask cluster)")
    sharding.add_argument("--shards", type=_at_least_one, metavar="N",
                          help="write a store set of N shards: OUT is its directory")
    where = sharding.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_at_least_one, metavar="W",
                       help="run a local cluster of W worker processes (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster at ADDRESS (tcp://host:8786) instead")

    p = command("get", "Print the objects stored under keys, one JSON line each.", """\
examples:
  tarnkv get products.trnk SKU-123 4006381333931
  tarnkv get products.trnk SKU-123 --raw | msgpack2json

A missing key ends with status 1 after the others are printed; the missing keys are named
on standard error. --raw writes the stored MessagePack bytes back to back, with no newline.
An object that can't be printed ends the command with status 2 before anything is printed.

get opens the store without checking the whole file's CRC-32 (the library's open() checks
it by default): each object printed is checked against its own CRC-32 as it is read, and
`tarnkv verify STORE` checks the whole file.
""")
    p.add_argument("store", metavar="STORE")
    p.add_argument("keys", nargs="+", metavar="KEY")
    p.add_argument("--raw", action="store_true", help="write the stored bytes, undecoded")

    p = command("keys", "List keys in key order, one per line.", """\
examples:
  tarnkv keys products.trnk | wc -l
  tarnkv keys products.trnk --prefix SKU- --limit 10

Keys are written as their exact stored bytes, each followed by a newline (NUL with -0).
""")
    p.add_argument("store", metavar="STORE")
    p.add_argument("--prefix", metavar="P", default="", help="only keys starting with P")
    p.add_argument("--limit", type=_positive, metavar="N", help="at most N keys")
    p.add_argument("-0", "--null", action="store_true", help="end each key with NUL, not newline")

    p = command("prefix", 'Print {"key": ..., "value": ...} lines for keys starting with P.', """\
examples:
  tarnkv prefix unicode.trnk "LATIN SMALL LETTER A WITH" --limit 5
""")
    p.add_argument("store", metavar="STORE")
    p.add_argument("prefix", metavar="P")
    p.add_argument("--limit", type=_positive, metavar="N", help="at most N entries")

    p = command("dump", 'Write every entry as {"key": ..., "value": ...} JSON Lines (or CSV).', """\
examples:
  tarnkv dump products.trnk | head
  tarnkv dump products.trnk -o products.jsonl.zst
  tarnkv dump products.trnk --format csv -o products.csv

A dump builds back into the same store:
  tarnkv build products.jsonl -o copy.trnk --key key --value value
  tarnkv build products.csv -o copy.trnk --key key --value value --json-values
CSV output has the columns key and value; value holds the object's JSON text. An output
name ending in .gz or .zst is compressed. The output file appears only once it is complete.

An object that can't be written (not MessagePack, say) ends the dump with status 2. Written
to standard output, the dump then ends with a line starting "!tarnkv: incomplete output:",
which `tarnkv build -` refuses, so that a pipe never passes what came before for the whole
(with `set -o pipefail` the pipeline fails too).
""")
    p.add_argument("store", metavar="STORE")
    p.add_argument("-o", "--output", metavar="FILE", default="-", help="write here (default: stdout)")
    p.add_argument("--format", choices=("jsonl", "csv"), default=None,
                   help="jsonl (default) or csv; by default from the output name")

    p = command("stats", "Show a store's counts, sizes, distributions and checksum.", """\
examples:
  tarnkv stats products.trnk
  tarnkv stats products.trnk --json | jq .num_keys

--json prints one object: the store's own statistics under their names (num_keys,
num_objects, index_offset, data_offset, file_crc32, ...) and the distributions.
""")
    p.add_argument("store", metavar="STORE")
    p.add_argument("--json", action="store_true", help="one JSON object instead of a table")

    p = command("verify", "Check stores in depth: the file checksum and every object's.", """\
examples:
  tarnkv verify products.trnk
  tarnkv verify shard-*.trnk && echo all sound

Exit status 0 when every store is sound, 1 when any is corrupt (named on standard error),
2 for usage or I/O errors (a missing file, say).
""")
    p.add_argument("stores", nargs="+", metavar="STORE")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no 'ok' lines")

    p = command("cp", "Install a store safely where running processes may have it open.", """\
examples:
  tarnkv cp build/products.trnk /srv/data/products.trnk --verify

Copies SRC to a temporary file beside DST, syncs it to disk, renames it over DST and syncs
the directory. Readers that have the old file open keep reading it undisturbed and see the
new one when they reopen; copying over a store in place (cp, shutil.copy) makes them crash
with SIGBUS. The copy is installed only when it is a whole store (header, sections, index);
--verify checks it in depth too (every checksum). A copy that fails is removed and DST stays
as it was. A store without keys replaces one with keys only with --allow-empty.

DST itself is replaced, never the file a symbolic link there names. DST keeps its owner,
group and permissions when it is a regular file the new one can belong to as well (the
caller is root or its owner); otherwise the new file is the caller's, with SRC's permissions
less the umask.
""")
    p.add_argument("src", metavar="SRC")
    p.add_argument("dst", metavar="DST", help="a file name, or a directory to copy into")
    p.add_argument("--verify", action="store_true", help="check the copy in depth before installing it")
    p.add_argument("--allow-empty", action="store_true",
                   help="let a store (or set) without keys replace one with keys")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    p = command("merge", "Merge stores and store sets into one store or one set.", """\
examples:
  tarnkv merge base.trnk update.trnk -o merged.trnk
  tarnkv merge events.set -o events.trnk              (a set back into one file)
  tarnkv merge old.set new.set extra.trnk -o all.set --shards 16

Under a key several inputs hold, the last input wins. The merge streams: it holds the
inputs' indexes and the output's in memory, never their objects, and checks each object's
CRC-32 as it copies it. Without --shards OUT is one store file; with it, a set directory
(absent, empty or a set, which is replaced). OUT appears only once complete.
""")
    p.add_argument("inputs", nargs="+", metavar="IN", help="stores and set directories, earliest first")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="the store (or set) to write")
    p.add_argument("--shards", type=_at_least_one, metavar="N", help="write a set of N shards")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line")

    p = command("diff", "Compare two stores' keys and objects.", """\
examples:
  tarnkv diff old.trnk new.trnk

Prints one line per difference, in key order: "- KEY" only in A, "+ KEY" only in B, "~ KEY"
under both with different objects (keys as JSON strings). Objects are compared decoded, so
two encodings of one value are equal. Exit status 0 if the stores are equal, 1 if not.
""")
    p.add_argument("a", metavar="A")
    p.add_argument("b", metavar="B")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing; only the exit status tells")
    return top
