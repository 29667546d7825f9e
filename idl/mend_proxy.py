#!/usr/bin/env python3
"""Mends widl's -Oif proxy code for [out, string] pointers.

widl (7.0, 8.0) gives an [out] LPWSTR* parameter the type offset of the inner string pointer
instead of the FC_RP [allocated_on_stack][pointer_deref] that leads to it; an [out, string]
LPWSTR** lands two levels too deep, on the array. The proxy then returns S_OK with a NULL string,
or crashes reading the array. This re-points every such [out] parameter to its outer FC_RP,
refuses (exit 1) anything that is not a string or an array of strings, and checks that a second
pass over the result finds nothing left.

usage: mend_proxy.py INPUT_p.c OUTPUT_p.c --expect Interface::Method.param ...
The run fails when the parameters re-pointed are not exactly the ones expected, so that a widl
that changes its output is noticed.
"""

import argparse
import re
import sys

FC_RP, FC_UP, FC_OP = 0x11, 0x12, 0x13
FC_BOGUS_ARRAY = 0x21
FC_EMBEDDED_COMPLEX = 0x4C
STRINGS = {0x22: "FC_C_CSTRING", 0x25: "FC_C_WSTRING"}
ATTR_ALLOCATED_ON_STACK, ATTR_SIMPLE_POINTER, ATTR_POINTER_DEREF = 0x04, 0x08, 0x10
PARAM_OUT, PARAM_RETURN, PARAM_BASETYPE, PARAM_SIMPLE_REF = 0x10, 0x20, 0x40, 0x100
FC_AUTO_HANDLE = 0x33
OI_HAS_RPCFLAGS, OI_V2_INTERPRETER = 0x08, 0x20
OI2_HAS_EXTENSIONS = 0x40


class MendError(Exception):
    pass


class FormatString:
    """The bytes of one widl format string, with where each byte's token sits in the text."""

    TOKEN = re.compile(
        r"(?P<comment>/\*.*?\*/)|(?P<space>[\s,]+)|(?P<close>\})"
        r"|NdrFc(?P<width>Short|Long)\(\s*(?P<wide>[^)]*?)\s*\)|(?P<byte>0x[0-9a-fA-F]+|\d+)",
        re.S,
    )
    MARKER = re.compile(r"/\*\s*(\d+)\s*(?:\((.*)\))?\s*\*/")

    def __init__(self, text, variable):
        head = re.search(
            r"static const MIDL_\w+_FORMAT_STRING " + variable + r" =\s*\{\s*0,\s*\{", text
        )
        if not head:
            raise MendError(f"{variable} not found")
        self.data = bytearray()
        self.tokens = {}  # byte offset -> (text start, text end, width)
        self.labels = {}  # byte offset -> widl's label of the descriptor there
        self.markers = set()
        pos = head.end()
        while True:
            m = self.TOKEN.match(text, pos)
            if not m:
                raise MendError(f"{variable}: cannot read {text[pos:pos + 40]!r}")
            pos = m.end()
            if m["close"]:
                break
            if m["comment"]:
                marker = self.MARKER.fullmatch(m["comment"])
                # A comment at the start of a line is widl's offset of the next descriptor.
                if marker and text[m.start() - 1] == "\n":
                    if int(marker[1]) != len(self.data):
                        raise MendError(
                            f"{variable}: marker {marker[1]} at byte {len(self.data)}"
                        )
                    self.markers.add(len(self.data))
                    if marker[2]:
                        self.labels[len(self.data)] = marker[2]
                continue
            if m["space"]:
                continue
            width = {"Short": 2, "Long": 4}.get(m["width"], 1)
            value = int(m["wide"] if m["width"] else m["byte"], 0)
            self.tokens[len(self.data)] = (m.start(), m.end(), width)
            self.data += (value & ((1 << (8 * width)) - 1)).to_bytes(width, "little")
        self.end = pos

    def byte(self, offset):
        if not 0 <= offset < len(self.data):
            raise MendError(f"offset {offset} outside the format string")
        return self.data[offset]

    def short(self, offset, signed=False):
        self.byte(offset + 1)
        return int.from_bytes(self.data[offset : offset + 2], "little", signed=signed)


def pointer_target(types, offset):
    """Where a pointer descriptor's pointee is described: inline after a simple pointer."""
    if types.byte(offset + 1) & ATTR_SIMPLE_POINTER:
        return offset + 2
    return offset + 2 + types.short(offset + 2, signed=True)


def is_pointer(types, offset):
    return types.byte(offset) in (FC_RP, FC_UP, FC_OP)


def string_behind(types, offset):
    """The string type a pointer at offset leads to, else None."""
    if not is_pointer(types, offset):
        return None
    return STRINGS.get(types.byte(pointer_target(types, offset)))


def array_element(types, offset):
    """The element descriptor of an FC_BOGUS_ARRAY (4-byte correlation and variance)."""
    element = offset + 12
    if types.byte(element) == FC_EMBEDDED_COMPLEX:
        return element + 2 + types.short(element + 2, signed=True)
    return element


def describe_pointee(types, outer):
    """What the outer FC_RP leads to: 'string' or 'array of strings'; refuses anything else."""
    inner = pointer_target(types, outer)
    if string_behind(types, inner):
        return "string"
    if is_pointer(types, inner) and not types.byte(inner + 1) & ATTR_SIMPLE_POINTER:
        array = pointer_target(types, inner)
        if types.byte(array) == FC_BOGUS_ARRAY and string_behind(types, array_element(types, array)):
            return "array of strings"
    return None


def outer_reference(types, target):
    """The FC_RP [allocated_on_stack][pointer_deref] whose chain of pointers reaches target."""
    found = []
    for start in sorted(types.markers):
        if types.byte(start) != FC_RP:
            continue
        if types.byte(start + 1) != ATTR_ALLOCATED_ON_STACK | ATTR_POINTER_DEREF:
            continue
        at, depth = start, 0
        while depth < 3 and is_pointer(types, at) and not types.byte(at + 1) & ATTR_SIMPLE_POINTER:
            at, depth = pointer_target(types, at), depth + 1
            if at == target:
                found.append((depth, abs(target - start), start))
                break
    return min(found)[2] if found else None


def parameters(procs):
    """Every parameter of every -Oif procedure: (procedure offset, parameter offset, flags)."""
    pos = 0
    while pos < len(procs.data) and any(procs.data[pos:]):
        start = pos
        if procs.byte(pos) != FC_AUTO_HANDLE:
            raise MendError(f"procedure at {start}: handle type {procs.byte(pos):#x}")
        oi_flags = procs.byte(pos + 1)
        if not oi_flags & OI_V2_INTERPRETER:
            raise MendError(f"procedure at {start}: not -Oif output")
        pos += 2 + (4 if oi_flags & OI_HAS_RPCFLAGS else 0) + 4  # method number, stack size
        pos += 4  # client and server buffer sizes
        oi2_flags, count = procs.byte(pos), procs.byte(pos + 1)
        pos += 2
        if oi2_flags & OI2_HAS_EXTENSIONS:
            pos += procs.byte(pos)
        for _ in range(count):
            yield start, pos, procs.short(pos)
            pos += 6


def misdirected(procs, types):
    """[out] parameters whose type offset does not land on an FC_RP."""
    for proc, param, flags in parameters(procs):
        if not flags & PARAM_OUT or flags & (PARAM_RETURN | PARAM_BASETYPE | PARAM_SIMPLE_REF):
            continue
        offset = procs.short(param + 4)
        if types.byte(offset) != FC_RP:
            name = procs.labels.get(proc, f"procedure at {proc}").removeprefix("procedure ")
            param_name = procs.labels.get(param, f"parameter at {param}")
            yield f"{name}.{param_name.removeprefix('parameter ')}", param + 4, offset


def mend(text):
    procs = FormatString(text, "__MIDL_ProcFormatString")
    types = FormatString(text, "__MIDL_TypeFormatString")
    edits = []
    for name, at, offset in misdirected(procs, types):
        outer = outer_reference(types, offset)
        if outer is None:
            raise MendError(f"{name}: type offset {offset} has no FC_RP leading to it")
        what = describe_pointee(types, outer)
        if what is None:
            raise MendError(f"{name}: type offset {offset} is neither a string nor strings")
        start, end, width = procs.tokens[at]
        if width != 2:
            raise MendError(f"{name}: type offset is not one NdrFcShort")
        edits.append((start, end, outer, offset, name, what))
    for start, end, outer, offset, _, _ in sorted(edits, reverse=True):
        line_end = text.index("\n", end)
        comment = re.sub(
            r"/\* type offset = \d+ \*/",
            f"/* type offset = {outer} (mended, was {offset}) */",
            text[end:line_end],
        )
        text = text[:start] + f"NdrFcShort({outer:#x})" + comment + text[line_end:]
    return text, [(name, offset, outer, what) for _, _, outer, offset, name, what in edits]


def check_mended(original, mended, edits):
    """A second pass finds nothing, and only the re-pointed type offsets changed."""
    procs = FormatString(mended, "__MIDL_ProcFormatString")
    types = FormatString(mended, "__MIDL_TypeFormatString")
    left = [name for name, _, _ in misdirected(procs, types)]
    if left:
        raise MendError(f"still misdirected after the mend: {', '.join(left)}")
    before = FormatString(original, "__MIDL_ProcFormatString")
    changed = [i for i, (a, b) in enumerate(zip(before.data, procs.data)) if a != b]
    if len(before.data) != len(procs.data) or len(changed) > 2 * len(edits):
        raise MendError("the mend changed more than the type offsets")
    if types.data != FormatString(original, "__MIDL_TypeFormatString").data:
        raise MendError("the mend changed the type format string")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--expect", nargs="*", default=[], metavar="Interface::Method.param")
    args = parser.parse_args()
    with open(args.input, encoding="utf-8") as f:
        original = f.read()
    try:
        mended, edits = mend(original)
        check_mended(original, mended, edits)
    except MendError as e:
        print(f"mend_proxy: {args.input}: {e}", file=sys.stderr)
        return 1
    for name, offset, outer, what in edits:
        print(f"mend_proxy: {name}: type offset {offset} -> {outer} ({what})")
    print(f"mend_proxy: re-pointed {len(edits)} [out] parameters")
    names = sorted(name for name, _, _, _ in edits)
    if names != sorted(args.expect):
        print(
            f"mend_proxy: expected {len(args.expect)} parameters, re-pointed {len(edits)}; "
            f"unexpected: {sorted(set(names) - set(args.expect))}, "
            f"not found: {sorted(set(args.expect) - set(names))}",
            file=sys.stderr,
        )
        return 1
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(mended)
    return 0


if __name__ == "__main__":
    sys.exit(main())
