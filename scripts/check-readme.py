#!/usr/bin/env python3
"""Runs the snippets of README.md as written, from the top of the tree, after
a gcc build (scripts/test.sh runs it so).

Every fenced block carries a comment line just above it that says how it is
checked; a block without one fails the check:

    <!-- check: save PATH... -->              the block's text, written to each PATH
    <!-- check: run [with-terminal] [each-line] [until N] -->
                                              run by bash -e; with-terminal: a virtual
                                              terminal listens on 127.0.0.1:16120 meanwhile;
                                              until N: still running after N seconds is
                                              success (programs that run until Ctrl-C);
                                              each-line: every line on its own, after the
                                              block's export lines (a line that runs until
                                              Ctrl-C does not hide the ones below it)
    <!-- check: skip: REASON -->              not run here; REASON says what checks it

A `run` line may end in `needs GROUP`: the snippet needs that package group of
scripts/setup.sh, and is skipped, saying so, when scripts/test.sh names the
group in VQ6120_README_SKIP_GROUPS (it could not be installed on this machine).

The check runs in network and mount namespaces of its own (as root): the
loopback port 16120 is free whatever else runs on the machine, and /opt is an
empty tmpfs, so a snippet that installs into /opt changes nothing outside.
Snippets see the PATH of a fresh Debian machine and none of the library's
variables. Files the snippets leave in the tree are removed afterwards.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
SIM = os.path.join(ROOT, "build/gcc/tools/vq6120-sim/vq6120-sim")
BLOCK = re.compile(r"^<!-- check: (?P<how>.*?) -->\n```(?P<lang>[\w+-]*)\n(?P<text>.*?)^```$", re.M | re.S)
FENCE_OPEN = re.compile(r"^```[\w+-]*\n(.*?)^```$", re.M | re.S)
RUN_LIMIT_SECONDS = 600


def enter_namespaces():
    """Re-runs this script inside new network and mount namespaces."""
    if os.environ.get("VQ6120_README_CHECK_INSIDE"):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        os.makedirs("/opt", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/opt"], check=True)
        return
    env = dict(os.environ, VQ6120_README_CHECK_INSIDE="1")
    try:
        rc = subprocess.run(["unshare", "--net", "--mount", "--propagation", "private", "--",
                             sys.executable, *sys.argv], env=env).returncode
    except FileNotFoundError:
        rc = 1
    sys.exit(rc)


def blocks(readme):
    found = list(BLOCK.finditer(readme))
    fences = len(FENCE_OPEN.findall(readme))
    if fences != len(found):
        annotated = {m.start("lang") for m in found}
        for m in FENCE_OPEN.finditer(readme):
            if m.start() + 3 not in annotated:
                line = readme.count("\n", 0, m.start()) + 1
                print(f"README.md:{line}: a snippet without a '<!-- check: ... -->' line above it", file=sys.stderr)
        sys.exit(1)
    return found


def snippet_env():
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "VQ6120_LIB_PATH", "PKG_CONFIG_PATH",
                        "VQ6120_README_CHECK_INSIDE", "VQ6120_README_SKIP_GROUPS", "CMAKE_PREFIX_PATH")}
    env["PATH"] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    return env


class Terminal:
    """The virtual terminal on its default port for one snippet."""

    def __enter__(self):
        self.proc = subprocess.Popen([SIM, "--no-stdin"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL, text=True)
        first = self.proc.stdout.readline()
        if "16120" not in first:
            raise RuntimeError(f"the virtual terminal did not start on 16120: {first!r}")
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


def run(text, until):
    proc = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", text], cwd=ROOT, env=snippet_env(),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=until or RUN_LIMIT_SECONDS)
        return proc.returncode == 0, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return until is not None, out + f"\n[stopped after {until or RUN_LIMIT_SECONDS} s]"


def check(block):
    how = block["how"].strip()
    text = block["text"]
    if how.startswith("skip:"):
        return True, "skipped: " + how[5:].strip()
    words = how.split()
    if words[0] == "save":
        for path in words[1:]:
            target = os.path.join(ROOT, path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w") as f:
                f.write(text)
        return True, "saved as " + ", ".join(words[1:])
    if "needs" in words:
        group = words[words.index("needs") + 1]
        if group in os.environ.get("VQ6120_README_SKIP_GROUPS", "").split():
            return True, f"SKIPPED: needs the {group} group, which could not be installed (scripts/setup.sh)"
    if words[0] == "run":
        until = int(words[words.index("until") + 1]) if "until" in words else None
        started = time.monotonic()
        if "each-line" in words:
            lines = [line for line in text.splitlines() if line.strip()]
            exports = [line for line in lines if line.startswith("export ")]
            scripts = ["\n".join(exports + [line]) for line in lines if line not in exports]
        else:
            scripts = [text]
        ok, out = True, ""
        for script in scripts:
            if "with-terminal" in words:
                with Terminal():
                    ok, out = run(script, until)
            else:
                ok, out = run(script, until)
            if not ok:
                break
        return ok, f"ran in {time.monotonic() - started:.1f} s" + ("" if ok else ":\n" + out[-4000:])
    return False, f"unknown check '{how}'"


def untracked():
    out = subprocess.run(["git", "ls-files", "--others", "--directory"], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    return set(out.split("\n")) - {""}


def main():
    if not os.access(SIM, os.X_OK):
        sys.exit(f"{SIM} is missing: build the gcc preset first")
    enter_namespaces()
    with open(os.path.join(ROOT, "README.md")) as f:
        readme = f.read()
    before = untracked()
    failures = 0
    try:
        for block in blocks(readme):
            line = readme.count("\n", 0, block.start()) + 2
            ok, what = check(block)
            print(f"README.md:{line}: {'ok' if ok else 'FAILED'}  {what}", flush=True)
            failures += not ok
    finally:
        for path in sorted(untracked() - before):
            full = os.path.join(ROOT, path)
            if os.path.isdir(full) and not os.path.islink(full):
                shutil.rmtree(full)
            else:
                os.remove(full)
    if failures:
        sys.exit(f"{failures} README snippet(s) failed")
    print("every README snippet works as written")


if __name__ == "__main__":
    main()
