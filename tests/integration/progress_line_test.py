#!/usr/bin/env python3
"""plugin-host's progress line: on a terminal (a pseudo-terminal here) it shows
how far a run that takes a while has come and is erased before anything else
is printed; without a terminal standard error holds only the reports."""

import argparse
import concurrent.futures
import fcntl
import os
import pathlib
import re
import struct
import subprocess
import sys
import termios
import unittest

ARGUMENTS = None
COLUMNS = 100


def module(name):
    return str(ARGUMENTS.modules / f"{name}{ARGUMENTS.module_suffix}")


def plugin_host(arguments, terminal):
    """Runs plugin-host with standard error on a terminal or a pipe; its exit
    code, standard output and the bytes written to standard error."""
    command = [str(ARGUMENTS.plugin_host), *arguments]
    if not terminal:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        return result.returncode, result.stdout, result.stderr
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, COLUMNS, 0, 0))
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=slave) as child:
        os.close(slave)
        written = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # every end of the terminal's other side is closed
                break
            if not chunk:
                break
            written += chunk
        os.close(master)
        out = child.stdout.read()
        return child.wait(), out, written


def screen(written):
    """What a terminal shows after `written`: each row as it stands, carriage
    returns writing over what the row held, blanks at the end not shown."""
    rows, row, column = [], [], 0
    for character in written.decode():
        if character == "\n":
            rows.append("".join(row).rstrip(" "))
            row, column = [], 0
        elif character == "\r":
            column = 0
        else:
            row[column:column + 1] = [character]
            column += 1
    rest = "".join(row).rstrip(" ")
    return "\n".join(rows) + ("\n" if rows else "") + rest


PROGRESS = re.compile(r"plugin-host: ([0-9]) of ([0-9]) tests done(; lifecycle: cycle ([0-9]+) of 8)?")


class ProgressLine(unittest.TestCase):
    # Each row lasts longer than the line's one second: the slow fixture
    # spends 200 ms in each onLoad, the hanging one is killed after 1.5 s.
    ROWS = [
        ("cycles", ["--test", "lifecycle", "--cycles", "8"], "fixture_slow_onload", 0),
        ("a test that hangs, and its failure on standard error",
         ["--test", "descriptor", "--test", "lifecycle", "--timeout", "1.5"],
         "fixture_hanging_onload", 1),
        # What reaches standard error there while a test runs is the plugin's.
        ("in process", ["--in-process", "--test", "lifecycle", "--cycles", "8"],
         "fixture_slow_onload", 0),
    ]

    def test_shown_on_a_terminal_and_erased_before_anything_else(self):
        # Every run waits on its plugin more than it works: all at once.
        runs = [([*options, module(fixture)], terminal)
                for _, options, fixture, _ in self.ROWS for terminal in (False, True)]
        with concurrent.futures.ThreadPoolExecutor(len(runs)) as pool:
            results = list(pool.map(lambda run: plugin_host(*run), runs))
        for row, (name, _, _, code) in enumerate(self.ROWS):
            with self.subTest(name):
                piped_code, _, piped_err = results[2 * row]
                self.assertEqual(piped_code, code, piped_err)
                self.assertNotIn(b"\r", piped_err)
                self.assertNotIn(b"tests done", piped_err)

                tty_code, tty_out, written = results[2 * row + 1]
                self.assertEqual(tty_code, code)
                # Standard output is the report's alone, terminal or not.
                self.assertNotIn(b"\r", tty_out)
                self.assertTrue(tty_out.startswith(b"module "), tty_out)
                # Erased: the terminal shows what standard error holds without it.
                self.assertEqual(screen(written), piped_err.decode())

                # Shown: every drawing is the whole line, each on the row it
                # rewrites, and the cycles only go up.
                drawn = [part.rstrip(" ") for part in written.decode().split("\r")]
                lines = [part for part in drawn if part.startswith("plugin-host: ") and
                         "tests done" in part]
                if name == "in process":
                    self.assertEqual(written, piped_err)
                    continue
                self.assertTrue(lines, written)
                cycles = []
                for line in lines:
                    match = PROGRESS.fullmatch(line)
                    self.assertIsNotNone(match, line)
                    self.assertLessEqual(len(line), COLUMNS - 1)
                    if match.group(4):
                        cycles.append(int(match.group(4)))
                if name == "cycles":
                    self.assertTrue(cycles, lines)
                    self.assertEqual(cycles, sorted(cycles))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-host", type=pathlib.Path, required=True)
    parser.add_argument("--modules", type=pathlib.Path, required=True)
    parser.add_argument("--module-suffix", required=True)
    ARGUMENTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])
