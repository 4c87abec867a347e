#!/usr/bin/python3
"""Runs the shell examples of Markdown pages and compares their output.

A fenced block whose info string is `console` is an example: `$ ` opens a
command (a line ending in a backslash continues it), the lines below it are
the output it must print. `...` stands for any text within a line, and a
line of its own `...` for any number of lines. A command without output
lines below it is run but its output is not compared; every command must
exit with 0. `console sim [OPTION]...` first starts kelvo_chipsim with
`--flash sim-flash.bin --link ./ttyKELVO0` and the options given;
`console adapter` needs a real board and is not run. Each block runs in a
fresh temporary directory, with the given program directories first on
PATH.

    run_examples.py --path DIR [--path DIR]... PAGE.md...
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

BLOCK_TIMEOUT = 300  # seconds; a download into the simulator takes about ten
SIM_ARGS = ["--flash", "sim-flash.bin", "--link", "./ttyKELVO0"]


class Block:
    def __init__(self, page, line, kind, sim_options):
        self.page, self.line, self.kind, self.sim_options = page, line, kind, sim_options
        self.commands = []  # [command text, [expected lines]]

    def where(self):
        return f"{self.page}:{self.line}"


def parse_info(words, where):
    if len(words) == 1:
        return "run", []
    if words[1] == "adapter" and len(words) == 2:
        return "adapter", []
    if words[1] == "sim":
        return "sim", words[2:]
    raise SystemExit(f"{where}: unknown example kind: {' '.join(words)}")


def read_blocks(page):
    blocks, block, fence = [], None, None
    with open(page, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        if fence is None:
            m = re.match(r"^(```+|~~~+)\s*(.*)$", line)
            if m:
                fence = m.group(1)
                words = m.group(2).split()
                if words and words[0] == "console":
                    kind, options = parse_info(words, f"{page}:{number}")
                    block = Block(page, number, kind, options)
            continue
        if line.startswith(fence) and not line.strip(fence[0]).strip():
            if block is not None:
                blocks.append(block)
            block, fence = None, None
            continue
        if block is None:
            continue
        last = block.commands[-1] if block.commands else None
        if last and last[0].endswith("\\") and not last[1]:
            last[0] += "\n" + line
        elif line.startswith("$ "):
            block.commands.append([line[2:], []])
        elif last is None:
            raise SystemExit(f"{page}:{number}: output before the first command")
        else:
            last[1].append(line)
    return blocks


def screen_lines(text):
    """What a terminal shows: a carriage return starts the line over."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    shown = []
    for line in lines:
        parts = [p for p in line.split("\r") if p]
        shown.append((parts[-1] if parts else "").expandtabs(8).rstrip())
    return shown


def matches(expected, actual):
    pattern = ""
    for line in expected:
        line = line.expandtabs(8).rstrip()
        if line == "...":
            pattern += r"(?:[^\n]*\n)*"
        else:
            pattern += re.escape(line).replace(r"\.\.\.", r"[^\n]*") + r"\n"
    return re.fullmatch(pattern, "".join(l + "\n" for l in actual)) is not None


def start_simulator(block, work, env):
    out = open(os.path.join(work, "sim.out"), "w")
    sim = subprocess.Popen(["kelvo_chipsim"] + SIM_ARGS + block.sim_options,
                           cwd=work, env=env, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 30
    while not os.path.islink(os.path.join(work, "ttyKELVO0")):
        if sim.poll() is not None or time.monotonic() > deadline:
            stop(sim)
            return None, "kelvo_chipsim did not start: " + read(work, "sim.out")
        time.sleep(0.05)
    return sim, ""


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        return process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


def read(work, name):
    with open(os.path.join(work, name), errors="replace", newline="") as f:
        return f.read()


def script_for(block):
    # A record separator and the command's number and status after each
    # command split the output again.
    lines = ["exec 2>&1"]
    for i, (command, _) in enumerate(block.commands):
        lines += [command, f"printf '\\036%d %d\\n' {i} $?"]
    return "\n".join(lines) + "\n"


def run_script(block, work, env):
    with open(os.path.join(work, "example.out"), "w") as out:
        shell = subprocess.Popen(["bash", "--norc", "--noprofile", "-c", script_for(block)],
                                 cwd=work, env=env, stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            shell.wait(timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            return None
        finally:
            try:  # whatever the example left running in the background
                os.killpg(shell.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            shell.wait()
    return read(work, "example.out")


def check_output(block, output):
    pieces = re.split(r"\x1e(\d+) (\d+)\n", output)
    for i, (command, expected) in enumerate(block.commands):
        if 3 * i + 2 >= len(pieces):
            return f"$ {command}\n  did not finish"
        text, status = pieces[3 * i], int(pieces[3 * i + 2])
        shown = screen_lines(text)
        if status != 0:
            return f"$ {command}\n  exited with {status}:\n" + "\n".join(shown)
        if expected and not matches(expected, shown):
            return (f"$ {command}\n  expected:\n" + "\n".join(expected) +
                    "\n  printed:\n" + "\n".join(shown) + f"\n  as bytes: {text!r}")
    return ""


def run_block(block, env):
    with tempfile.TemporaryDirectory(prefix="kelvo-example-") as work:
        sim = None
        if block.kind == "sim":
            sim, error = start_simulator(block, work, env)
            if sim is None:
                return error
        output = run_script(block, work, env)
        failure = check_output(block, output) if output is not None else \
            f"did not end within {BLOCK_TIMEOUT} s"
        if sim is not None:
            status = stop(sim)
            if status != 0 and not failure:
                failure = f"kelvo_chipsim exited with {status}: " + read(work, "sim.out")
        return failure


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--path", action="append", default=[])
    parser.add_argument("pages", nargs="+")
    args = parser.parse_args()
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([os.path.abspath(p) for p in args.path] + [env.get("PATH", "")])
    failures = run = skipped = 0
    for page in args.pages:
        for block in read_blocks(page):
            if block.kind == "adapter":
                skipped += 1
                continue
            run += 1
            failure = run_block(block, env)
            if failure:
                failures += 1
                print(f"FAIL {block.where()}\n{failure}\n")
            else:
                print(f"ok   {block.where()}")
    print(f"{run} examples run, {failures} failed, {skipped} for a real adapter not run")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
