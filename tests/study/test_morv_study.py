"""Tests of tools/morv-study, the report page generator.

Runs the tool on small generated inputs with the program named by MORV_EXE
and checks the page against packed files made separately, checks that the
charts it references exist, and that failures end the tool with an error.
Run with a Python 3 that has matplotlib (CTest passes MORV_EXE).
"""

import os
import random
import re
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "morv-study")
PROGRAM = os.environ.get("MORV_EXE", "")

# The six methods as the program's options, independent of the tool's list.
METHOD_FLAGS = {
    "-d": ["-d"],
    "-p": ["-p"],
    "-m": ["-m"],
    "-m --norle0": ["-m", "--norle0"],
    "-m -s": ["-m", "-s"],
    "-m -s --norle0": ["-m", "-s", "--norle0"],
}


def make_input(size, seed):
    """Words and line breaks with short stretches of arbitrary bytes, so that
    every kind of key (line breaks, blanks, brackets, high bytes) reaches the
    raw input histogram."""
    rng = random.Random(seed)
    words = [b"block", b"sorting", b"move", b"to", b"front", b"distance", b"run",
             b"zero", b"[a-b]", b"the", b"of", b"and", b"- 1 -"]
    out = bytearray()
    while len(out) < size:
        r = rng.random()
        if r < 0.8:
            out += rng.choice(words) + b" "
        elif r < 0.9:
            out += b"\n"
        else:
            out += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 8)))
    return bytes(out[:size])


def run_tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def write_wrapper(path, body):
    """A stand-in program that runs the real one and then misbehaves."""
    with open(path, "w") as f:
        f.write("#!%s\nimport subprocess, sys\nREAL = %r\nargs = sys.argv[1:]\n%s\n"
                % (sys.executable, PROGRAM, body))
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


@unittest.skipUnless(PROGRAM and os.path.isfile(PROGRAM), "MORV_EXE is not set")
class MorvStudyTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="morv-study-test-")
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write_input(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def packed_size(self, path, flags, block_option):
        packed = os.path.join(self.dir, "separate.morvQ17p")
        subprocess.run([PROGRAM, "-c", path, "-o", packed] + block_option + flags,
                       check=True, stdout=subprocess.DEVNULL)
        size = os.path.getsize(packed)
        os.remove(packed)
        return size

    def check_page(self, path, block_option, blocks):
        folder = os.path.join(self.dir, "page-%d" % blocks)
        result = run_tool(path, "--program", PROGRAM, "-o", folder, *block_option)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(folder, "index.html"), encoding="utf-8") as f:
            page = f.read()
        input_size = os.path.getsize(path)

        rows = re.findall(r'<tr[^>]*data-method="([^"]+)" data-packed="(\d+)">(.*?)</tr>', page)
        self.assertEqual(sorted(name for name, _, _ in rows), sorted(METHOD_FLAGS))
        sizes = []
        for name, packed, cells in rows:
            expected = self.packed_size(path, METHOD_FLAGS[name], block_option)
            cells = re.findall(r"<td[^>]*>(.*?)</td>", cells)
            with self.subTest(method=name):
                self.assertEqual(int(packed), expected)
                self.assertEqual(int(cells[3]), expected)
                self.assertEqual(cells[4], "%.3f" % (8.0 * expected / input_size))
            sizes.append(expected)
        self.assertEqual(sizes, sorted(sizes), "the table is not ranked by packed size")

        images = re.findall(r'<img src="([^"]+)"', page)
        self.assertGreaterEqual(len(images), 4)
        for image in images:
            with open(os.path.join(folder, image), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n", image)
        self.assertEqual("blocks-bpb.png" in images, blocks > 1)
        self.assertNotIn("<script", page)
        return page

    def test_one_block(self):
        path = self.write_input("one.bin", make_input(20000, 1))
        self.check_page(path, [], 1)

    def test_several_blocks(self):
        path = self.write_input("several.bin", make_input(20000, 2))
        page = self.check_page(path, ["-b", "8192"], 3)
        self.assertIn("3 blocks of 8,192 bytes", page)

    def test_failed_program_run_is_reported(self):
        path = self.write_input("fail.bin", make_input(3000, 3))
        wrapper = os.path.join(self.dir, "fails-on-norle0")
        write_wrapper(wrapper, 'if "--norle0" in args:\n'
                               '    sys.stderr.write("ERROR: simulated failure\\n")\n'
                               '    sys.exit(255)\n'
                               'sys.exit(subprocess.call([REAL] + args))')
        folder = os.path.join(self.dir, "fail")
        result = run_tool(path, "--program", wrapper, "-o", folder)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("simulated failure", result.stderr)
        self.assertIn("-m --norle0", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(folder, "index.html")))

    def test_failed_round_trip_is_reported(self):
        path = self.write_input("trip.bin", make_input(3000, 4))
        wrapper = os.path.join(self.dir, "damages-extraction")
        write_wrapper(wrapper, 'rc = subprocess.call([REAL] + args)\n'
                               'if rc == 0 and "-e" in args:\n'
                               '    with open(args[args.index("-o") + 1], "r+b") as f:\n'
                               '        f.seek(100)\n'
                               '        byte = f.read(1)\n'
                               '        f.seek(100)\n'
                               '        f.write(bytes([byte[0] ^ 1]))\n'
                               'sys.exit(rc)')
        result = run_tool(path, "--program", wrapper, "-o", os.path.join(self.dir, "trip"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("round trip with -d failed", result.stderr)
        self.assertIn("byte 100", result.stderr)

    def test_missing_input_or_program(self):
        result = run_tool(os.path.join(self.dir, "absent"), "--program", PROGRAM)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("input file not found", result.stderr)
        path = self.write_input("present.bin", b"abc")
        result = run_tool(path, "--program", os.path.join(self.dir, "no-program"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("program not found", result.stderr)


if __name__ == "__main__":
    unittest.main()
