#!/usr/bin/env python3
"""The start-up stress run's runs and verdict; bench/stress builds the program
and starts it on a private display:

    stress.py BUILD_DIR RUNS JOBS

RUNS runs of build/stashwick, JOBS at a time, each after a random delay of
0-50 ms, beside one busy loop per core, so that the toolkit's start-up threads
meet every kind of interleaving with the main thread. The runs take turns
through a few cases whose result is known beforehand (the answer module accepts
or cancels the dialog; -h prints the help screen; a display that does not
exist ends the run in gtk_init with status 1). A run that ends by a signal,
does not end within its time limit, or whose output or exit status differs,
is a failure; the command line and what it gave are printed for each.
"""
import os
import random
import subprocess
import sys
import threading
import time
from pathlib import Path

LIMIT_S = 60
PATTERN = "Text (*.txt)|*.txt|All files (*.*)|*.*"


def main():
    build, runs, jobs = Path(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    data = build / "stress-data"
    folder = data / "Documents"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "notes.txt").touch()
    program = str(build / "stashwick")
    help_text = subprocess.run([program, "-h"], stdout=subprocess.PIPE, check=True).stdout
    notes = str(folder / "notes.txt").encode()
    # (name, arguments, answer, expected output, expected exit status). "nodisplay" ends
    # in gtk_init, which exits while the start-up's threads may still be at work.
    cases = [("accept", ["Save As", str(folder / "notes.txt"), PATTERN, "1"], "accept", notes, 0),
             ("cancel", ["Save As", str(folder / "notes.txt"), PATTERN, "0"], "cancel", b"", 0),
             ("options", ["--sync", "--", "Save As", str(folder / "notes.txt"), PATTERN, "0"], "accept",
              notes, 0),
             ("help", ["-h"], "none", help_text, 0),
             ("nodisplay", ["--display", ":999", "Save As", str(folder / "notes.txt"), PATTERN, "0"], "none",
              b"", 1)]
    counts = {"ok": 0, "signal": 0, "hang": 0, "different": 0}
    durations = []
    lock = threading.Lock()
    next_run = iter(range(runs))

    def worker(job):
        home = data / f"home-{job}"
        for sub in [".config", ".local/share", ".cache", "run"]:
            (home / sub).mkdir(mode=0o700, parents=True, exist_ok=True)
        env = {k: v for k, v in os.environ.items() if k != "GTK_MODULES"}
        env.update(HOME=str(home), XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                   XDG_CACHE_HOME=f"{home}/.cache", XDG_RUNTIME_DIR=f"{home}/run", NO_AT_BRIDGE="1",
                   GSETTINGS_BACKEND="memory", GTK_MODULES=str(build / "libstashwick-answer.so"))
        rng = random.Random(job)
        while True:
            with lock:
                number = next(next_run, None)
            if number is None:
                return
            name, args, answer, expected, status = cases[number % len(cases)]
            time.sleep(rng.uniform(0, 0.05))
            started = time.monotonic()
            try:
                run = subprocess.run([program, *args], env=env | {"STASHWICK_ANSWER": answer},
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, timeout=LIMIT_S)
                outcome = ("signal" if run.returncode < 0 else
                           "ok" if run.returncode == status and run.stdout == expected else "different")
                detail = f"status {run.returncode}, output {run.stdout[:200]!r}, errors {run.stderr[:300]!r}"
            except subprocess.TimeoutExpired:
                outcome, detail = "hang", f"no end within {LIMIT_S} s"
            with lock:
                counts[outcome] += 1
                durations.append(time.monotonic() - started)
                if outcome != "ok":
                    print(f"stress: run {number} ({name}) {outcome}: {detail}", file=sys.stderr, flush=True)

    hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 1)]
    try:
        threads = [threading.Thread(target=worker, args=(job,)) for job in range(jobs)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()
    durations.sort()
    print(f"stress: {runs} runs, {jobs} at a time beside {len(hogs)} busy loops: "
          + ", ".join(f"{key} {value}" for key, value in counts.items())
          + f"; run time median {durations[len(durations) // 2]:.2f} s, longest {durations[-1]:.2f} s")
    sys.exit(0 if counts["ok"] == runs else 1)


if __name__ == "__main__":
    main()
