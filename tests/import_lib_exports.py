#!/usr/bin/env python3
"""Lists what an import library (.lib of Microsoft's linker, or .dll.a) lets
a program import: for each short import member, the symbol, how it is
imported (by name, with the hint, or by ordinal), the DLL and the machine.
With --expect NAME=ORDINAL ... [--by-ordinal NAME=ORDINAL ...] [--machine M]
it checks that exactly those imports are there and exits 1 otherwise.
Usage: import_lib_exports.py LIB [--machine x64|x86] [--expect N=O ...]
                                 [--by-ordinal N=O ...]
"""
import argparse
import struct
import sys

MACHINES = {0x8664: "x64", 0x14C: "x86"}
NAME_TYPES = {0: "ordinal", 1: "name", 2: "noprefix", 3: "undecorate"}


def members(data):
    """The (name, bytes) members of a Unix ar archive."""
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an archive")
    at = 8
    while at + 60 <= len(data):
        header = data[at:at + 60]
        size = int(header[48:58].decode().strip())
        yield header[:16].decode(errors="replace").strip(), data[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)


def imports(data):
    for _, body in members(data):
        if len(body) < 20:
            continue
        sig1, sig2, _version, machine = struct.unpack_from("<HHHH", body, 0)
        if sig1 != 0 or sig2 != 0xFFFF:
            continue  # a full object (descriptors, thunks), not a short import
        _stamp, size, ordinal_or_hint, flags = struct.unpack_from("<IIHH", body, 8)
        symbol, dll = body[20:20 + size].split(b"\0")[:2]
        yield {
            "symbol": symbol.decode(),
            "dll": dll.decode(),
            "machine": MACHINES.get(machine, hex(machine)),
            "name_type": NAME_TYPES.get((flags >> 2) & 7, "?"),
            "ordinal": ordinal_or_hint,
        }


def parse_pairs(pairs):
    out = {}
    for pair in pairs or []:
        name, _, ordinal = pair.partition("=")
        out[name] = int(ordinal)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("lib")
    parser.add_argument("--machine")
    parser.add_argument("--expect", nargs="*")
    parser.add_argument("--by-ordinal", nargs="*")
    args = parser.parse_args()
    with open(args.lib, "rb") as f:
        found = list(imports(f.read()))
    for entry in found:
        how = ("ordinal %d" % entry["ordinal"] if entry["name_type"] == "ordinal"
               else "%s, hint %d" % (entry["name_type"], entry["ordinal"]))
        print("%s %s: %s (%s)" % (entry["machine"], entry["dll"], entry["symbol"], how))
    if args.expect is None and args.by_ordinal is None:
        return 0
    # On x86 the C names carry the leading underscore of the C convention.
    prefix = "_" if args.machine == "x86" else ""
    by_name = {prefix + n: o for n, o in parse_pairs(args.expect).items()}
    by_ordinal = {prefix + n: o for n, o in parse_pairs(args.by_ordinal).items()}
    problems = []
    seen = set()
    for entry in found:
        symbol = entry["symbol"]
        seen.add(symbol)
        if args.machine and entry["machine"] != args.machine:
            problems.append("%s is for %s" % (symbol, entry["machine"]))
        if symbol in by_name:
            want = "noprefix" if prefix else "name"
            if entry["name_type"] != want or entry["ordinal"] != by_name[symbol]:
                problems.append("%s: %s, hint %d; expected %s, hint %d" % (
                    symbol, entry["name_type"], entry["ordinal"], want, by_name[symbol]))
        elif symbol in by_ordinal:
            if entry["name_type"] != "ordinal" or entry["ordinal"] != by_ordinal[symbol]:
                problems.append("%s: not imported by ordinal %d" % (symbol, by_ordinal[symbol]))
        else:
            problems.append("%s is not an export of the interface" % symbol)
    for symbol in list(by_name) + list(by_ordinal):
        if symbol not in seen:
            problems.append("%s is missing" % symbol)
    for p in problems:
        print("problem: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
