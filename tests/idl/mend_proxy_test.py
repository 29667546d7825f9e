#!/usr/bin/env python3
"""mend_proxy.py on small proxy files laid out as widl writes them.

usage: mend_proxy_test.py <idl/mend_proxy.py>
"""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "idl/mend_proxy.py")
sys.path.insert(0, os.path.dirname(SCRIPT))
import mend_proxy  # noqa: E402

OUT_MUST_FREE = "NdrFcShort(0x2013)"  # must size, must free, out
OUT_BASE = "NdrFcShort(0x2150)"  # out, base type, simple ref

# Descriptors of the type format string, each starting at the offset its marker names.
STRING_OUT = [  # 2: FC_RP [allocated_on_stack][pointer_deref] -> 6: FC_OP -> FC_C_WSTRING
    ["0x11", "0x14", "NdrFcShort(0x2)"],
    ["0x13", "0x8", "0x25", "0x5c"],
]
STRINGS_OUT = [  # 2: FC_RP -> 6: FC_OP -> 10: FC_BOGUS_ARRAY of FC_UP -> FC_C_WSTRING
    ["0x11", "0x14", "NdrFcShort(0x2)"],
    ["0x13", "0x0", "NdrFcShort(0x2)"],
    ["0x21", "0x3", "NdrFcShort(0x0)", "0x29", "0x0", "NdrFcShort(0x10)",
     "NdrFcLong(0xffffffff)"],
    ["0x12", "0x8", "0x25", "0x5c", "0x5c", "0x5b"],
]
LONG_OUT = [  # 2: FC_RP -> 6: FC_OP -> FC_LONG
    ["0x11", "0x14", "NdrFcShort(0x2)"],
    ["0x13", "0x8", "0x08", "0x5c"],
]
LONE_STRING = [["0x13", "0x8", "0x25", "0x5c"]]  # 2: no FC_RP leads here


def size(tokens):
    return sum(2 if t.startswith("NdrFcShort") else 4 if t.startswith("NdrFcLong") else 1
               for t in tokens)


def proxy_file(params, types, shift_marker=0):
    """A proxy file with one procedure IFoo::Get(params) and the type descriptors given.

    params: (name, flags token, type offset or None for a base type)."""
    lines = ["/*** made by mend_proxy_test ***/", "",
             "static const MIDL_PROC_FORMAT_STRING __MIDL_ProcFormatString =", "{", "    0,", "    {",
             "/* 0 (procedure IFoo::Get) */"]
    lines += ["        0x33,\t/* FC_AUTO_HANDLE */", "        0x6c,", "        NdrFcLong(0x0),",
              "        NdrFcShort(0x3),\t/* method 3 */", "        NdrFcShort(0x20),",
              "        NdrFcShort(0x0),", "        NdrFcShort(0x8),", "        0x45,",
              f"        {len(params) + 1:#x},\t/* {len(params) + 1} params */",
              "        0x0a,", "        0x00,"] + ["        NdrFcShort(0x0),"] * 4
    offset = 26
    for name, flags, type_offset in params:
        lines.append(f"/* {offset} (parameter {name}) */")
        lines.append(f"        {flags},")
        lines.append("        NdrFcShort(0x8),\t/* stack offset = 8 */")
        if type_offset is None:
            lines.append("        0x09,\t/* FC_ULONG */")
            lines.append("        0x0,")
        else:
            lines.append(f"        NdrFcShort({type_offset:#x}),\t/* type offset = {type_offset} */")
        offset += 6
    lines += [f"/* {offset} (return value) */", "        NdrFcShort(0x70),",
              "        NdrFcShort(0x10),", "        0x08,", "        0x0,", "        0x0", "    }",
              "};", "",
              "static const MIDL_TYPE_FORMAT_STRING __MIDL_TypeFormatString =", "{", "    0,",
              "    {", "        NdrFcShort(0x0),"]
    offset = 2
    for descriptor in types:
        lines.append(f"/* {offset + shift_marker} */")
        lines += [f"        {token}," for token in descriptor]
        offset += size(descriptor)
    lines += ["        0x0", "    }", "};", ""]
    return "\n".join(lines)


def run_script(text, *expect):
    with tempfile.TemporaryDirectory() as work:
        source, target = os.path.join(work, "in_p.c"), os.path.join(work, "out_p.c")
        with open(source, "w", encoding="utf-8") as f:
            f.write(text)
        done = subprocess.run(
            [sys.executable, SCRIPT, source, target, "--expect", *expect],
            capture_output=True, text=True)
        output = None
        if os.path.exists(target):
            with open(target, encoding="utf-8") as f:
                output = f.read()
        return done, output


class Mend(unittest.TestCase):
    def test_repoints_strings_and_string_arrays_to_their_outer_reference(self):
        cases = [
            ("string", STRING_OUT, 6, 2),
            ("array of strings", STRINGS_OUT, 10, 2),
        ]
        for what, types, widl_offset, outer in cases:
            with self.subTest(what):
                text = proxy_file([("pCount", OUT_BASE, None), ("ppText", OUT_MUST_FREE,
                                                                 widl_offset)], types)
                mended, edits = mend_proxy.mend(text)
                self.assertEqual(edits, [("IFoo::Get.ppText", widl_offset, outer, what)])
                self.assertIn(f"NdrFcShort({outer:#x}),\t/* type offset = {outer} (mended, was "
                              f"{widl_offset}) */", mended)
                mend_proxy.check_mended(text, mended, edits)
                self.assertEqual(mend_proxy.mend(mended)[1], [])

    def test_leaves_parameters_that_already_land_on_a_reference_pointer(self):
        text = proxy_file([("ppText", OUT_MUST_FREE, 2), ("pCount", OUT_BASE, None)], STRING_OUT)
        self.assertEqual(mend_proxy.mend(text), (text, []))

    def test_refuses_what_is_neither_a_string_nor_strings(self):
        cases = [
            ("neither a string nor strings", LONG_OUT, 6),
            ("has no FC_RP leading to it", LONE_STRING, 2),
        ]
        for message, types, widl_offset in cases:
            with self.subTest(message):
                text = proxy_file([("ppValue", OUT_MUST_FREE, widl_offset)], types)
                with self.assertRaisesRegex(mend_proxy.MendError, message):
                    mend_proxy.mend(text)

    def test_refuses_a_file_whose_offsets_it_reads_differently_from_widl(self):
        with self.assertRaisesRegex(mend_proxy.MendError, "marker"):
            mend_proxy.mend(proxy_file([("ppText", OUT_MUST_FREE, 6)], STRING_OUT, shift_marker=1))

    def test_the_run_writes_only_when_exactly_the_expected_parameters_were_mended(self):
        text = proxy_file([("ppText", OUT_MUST_FREE, 6)], STRING_OUT)
        cases = [
            (["IFoo::Get.ppText"], 0),
            ([], 1),
            (["IFoo::Get.ppText", "IFoo::Get.ppOther"], 1),
            (["IFoo::Get.ppOther"], 1),
        ]
        for expect, code in cases:
            with self.subTest(expect=expect):
                done, output = run_script(text, *expect)
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertIn("IFoo::Get.ppText: type offset 6 -> 2 (string)", done.stdout)
                self.assertEqual(output is not None, code == 0)
        refused, output = run_script(proxy_file([("ppValue", OUT_MUST_FREE, 6)], LONG_OUT))
        self.assertEqual(refused.returncode, 1)
        self.assertIn("IFoo::Get.ppValue", refused.stderr)
        self.assertIsNone(output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
