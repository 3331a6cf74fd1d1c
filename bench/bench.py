#!/usr/bin/env python3
"""The start-up benchmark's runs, statistics, table, JSON and chart; bench/run
builds the programs and starts it on a private display:

    bench.py BUILD_DIR RESULTS_DIR RUNS CASES BUILD_TYPE MODES [BEFORE]

Each program of a case runs RUNS times after one warm-up round, in rounds of
one run each, under bench/mapwait, in each of MODES (idle, loaded; see
MODE_NOTES); stashwick's ratios to the floor are the medians over the rounds of
its run divided by the floor's run in the same round. BEFORE, when given, is
another stashwick binary (an earlier build) that runs in the same rounds as
"before". The table goes to standard output, bench.json and bench-<mode>.png
to RESULTS_DIR, the raw runs (bench-raw.tsv), the test data and the charts'
gnuplot scripts to BUILD_DIR.
"""
import datetime
import json
import math
import os
import signal
import statistics
import subprocess
import sys
from pathlib import Path

TITLE = "Save As"
CASES = {"example": "worked example", "bigdir": "20,000-file folder",
         "home": "realistic home", "filters": "1,000 filters", "help": "-h vs bare gtk_init",
         "desktop": "session bus, gvfs, a11y"}
# The desktop case's session bus: the installed services (gvfs, the
# accessibility bus launcher) are started on it as a desktop session has them.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""
FEW_FILTERS = [("Text (*.txt)", "*.txt"), ("All files (*.*)", "*.*")]
MANY_FILTERS = [(f"Type {i} (*.t{i})", f"*.t{i}") for i in range(1000)]
# The most a median paired ratio to the floor may be, per mode: time (dialog
# cases, help case), CPU time, memory. With a free second core the dialog must
# be on screen sooner than the floor's; with every core busy, no slower.
LIMITS = {"idle": {"time": 0.90, "help": 1.05, "cpu": 1.05, "memory": 1.05},
          "loaded": {"time": 1.05, "help": 1.05, "cpu": 1.05, "memory": 1.05}}
MODE_NOTES = {
    "idle": "idle second core: the programs, their threads and the X server at real-time priority "
            "(SCHED_FIFO 50), so that other load on the machine does not take a core from them",
    "loaded": "every core busy: one busy loop per core at normal priority for the whole mode, the "
              "programs and the X server at normal priority"}
# The order of a round (reversed every other round): stashwick runs next to
# the floor, so that the pair meets the same load.
PROGRAMS = ["floor", "stashwick", "before"]
COLORS = {"stashwick": 0x1F77B4, "floor": 0x7F7F7F, "before": 0xFF7F0E}
# The realistic home: recent files (some gone) and bookmarks (some missing).
RECENT_ENTRIES = 500
BOOKMARKS = 20
FIELDS = ["map_ms", "hwm_map_kb", "hwm_kb", "exit_ms", "maxrss_kb", "status", "cpu_map_ms",
          "cpu_main_map_ms"]
NOTE = """\
time: exec to the dialog window mapped (help case: exec to exit). cpu: CPU time of all the
process's threads at the map. memory: VmHWM 300 ms after the map (20,000-file folder: 2 s after,
once loaded; help case: peak RSS of the run). floor: bench/floor.c, the smallest GTK+ 2 save
dialog doing the same toolkit work as stashwick: the same filters, the same pending-event pass
before the dialog runs, the same filter made active after it (help case: gtk_init alone against
stashwick -h). before: the stashwick binary given with --before, in the same rounds.
realistic home: the worked example with a recent-files list of 500 entries (half of them gone)
and 20 bookmarks (5 of them missing).
Ratios: each program runs once per round, stashwick next to the floor, the order reversed every
other round; a ratio is the median over the rounds of a run / the floor's run in that round
(rounds where either run failed are left out). time 95% CI: the distribution-free interval that
holds the true median time ratio with at least 95% confidence (6 rounds or more).
Verdict (stashwick/floor): ok when the median ratio is at most the limit, MISS above it; limits:
idle: time 0.90 (help case 1.05), cpu 1.05, memory 1.05; loaded: time, cpu and memory 1.05.
*: the limit lies inside the 95% interval, so the noise of the machine could turn this verdict."""


def command(case, program, build, data, before):
    """The command line of a program in a case."""
    binary = {"stashwick": build / "stashwick", "before": before, "floor": build / "bench/floor"}[program]
    if case == "help":
        return [binary, "--init-only" if program == "floor" else "-h"]
    file = data / ("big" if case == "bigdir" else "example") / "notes.txt"
    filters = MANY_FILTERS if case == "filters" else FEW_FILTERS
    pattern = "|".join(f"{name}|{globs}" for name, globs in filters)
    return [binary, TITLE, file, pattern, "1"]


def make_data(data):
    """A small folder and a folder of 20,000 files, made once."""
    for folder, names in [("example", ["notes.txt", "report.txt", "todo.txt", "budget.ods", "photo.jpg"]),
                          ("big", [f"file-{i:05d}.txt" for i in range(1, 20001)] + ["notes.txt"])]:
        (data / folder).mkdir(parents=True, exist_ok=True)
        if len(os.listdir(data / folder)) < len(names):
            for name in names:
                (data / folder / name).touch()


def make_realistic_home(home, data):
    """A recent-files list and bookmarks as a desktop user's home holds them; every
    second recent file and every fourth bookmarked folder does not exist."""
    (home / ".local/share").mkdir(parents=True, exist_ok=True)
    (home / ".config/gtk-3.0").mkdir(parents=True, exist_ok=True)
    (data / "recent").mkdir(exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000000Z")
    apps = [("gedit", "text/plain", ".txt"), ("libreoffice-calc", "application/vnd.oasis.opendocument"
            ".spreadsheet", ".ods"), ("eog", "image/jpeg", ".jpg")]
    entries = []
    for i in range(RECENT_ENTRIES):
        app, mime, suffix = apps[i % len(apps)]
        path = data / "recent" / f"document-{i:03d}{suffix}"
        if i % 2 == 0:
            path.touch()
        entries.append(
            f'  <bookmark href="file://{path}" added="{stamp}" modified="{stamp}" visited="{stamp}">\n'
            f'    <info>\n      <metadata owner="http://freedesktop.org">\n'
            f'        <mime:mime-type type="{mime}"/>\n        <bookmark:applications>\n'
            f'          <bookmark:application name="{app}" exec="&apos;{app} %u&apos;" '
            f'modified="{stamp}" count="{1 + i % 7}"/>\n        </bookmark:applications>\n'
            f'      </metadata>\n    </info>\n  </bookmark>\n')
    (home / ".local/share/recently-used.xbel").write_text(
        '<?xml version="1.0" encoding="UTF-8"?>\n<xbel version="1.0"\n'
        '      xmlns:bookmark="http://www.freedesktop.org/standards/desktop-bookmarks"\n'
        '      xmlns:mime="http://www.freedesktop.org/standards/shared-mime-info"\n>\n'
        + "".join(entries) + "</xbel>\n")
    lines = []
    for i in range(BOOKMARKS):
        folder = data / "places" / f"project-{i:02d}"
        if i % 4:
            folder.mkdir(parents=True, exist_ok=True)
        lines.append(f"file://{folder} Project {i}\n")
    (home / ".config/gtk-3.0/bookmarks").write_text("".join(lines))


def start_session_bus(data):
    """A session bus of the bench's own: its address and pid."""
    (data / "session.conf").write_text(BUS_CONFIG)
    out = subprocess.run(["dbus-daemon", f"--config-file={data}/session.conf", "--fork", "--print-address=1",
                          "--print-pid=1"], stdout=subprocess.PIPE, text=True, check=True).stdout.split()
    return out[0], int(out[1])


def measure(case, cmd, build, home, log, mode, desktop=None):
    """One run under mapwait, with the program's own private home; desktop: the
    environment of a desktop session (its bus, the accessibility bridge)."""
    for sub in [".config", ".local/share", ".cache", "run"]:
        (home / sub).mkdir(mode=0o700, parents=True, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k != "GTK_MODULES"}
    env.update(HOME=str(home), XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
               XDG_CACHE_HOME=f"{home}/.cache", XDG_RUNTIME_DIR=f"{home}/run", NO_AT_BRIDGE="1",
               GSETTINGS_BACKEND="memory")
    if desktop:
        env.pop("NO_AT_BRIDGE")
        env.update(desktop)
    # The large folder takes about two seconds to load, in every program.
    flags = ["-n"] if case == "help" else ["-t", TITLE, "-w", "2000" if case == "bigdir" else "300"]
    run = subprocess.run([build / "bench/mapwait", "-T", "120", *flags, "--", *cmd], env=env,
                         stdout=subprocess.PIPE, stderr=log, text=True,
                         preexec_fn=real_time if mode == "idle" else None)
    fields = dict(pair.split("=", 1) for pair in run.stdout.split() if "=" in pair)
    if run.returncode != 0 or sorted(fields) != sorted(FIELDS):
        return dict.fromkeys(FIELDS, "-1") | {"status": "error"}
    return fields


def real_time(pid=0):
    """SCHED_FIFO priority 50 for a process (0: this one, and what it starts)."""
    os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(50))


def x_server_pid():
    """The process id of the X server of DISPLAY (the private Xvfb)."""
    display = os.environ["DISPLAY"]
    for entry in os.listdir("/proc"):
        try:
            args = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if entry.isdigit() and args[0].endswith(b"Xvfb") and display.encode() in args[1:]:
            return int(entry)
    return None


def measures(case):
    """The raw fields of time, CPU time and memory in a case; None: not measured."""
    if case == "help":
        return {"time": "exit_ms", "cpu": None, "memory": "maxrss_kb"}
    return {"time": "map_ms", "cpu": "cpu_map_ms", "memory": "hwm_kb"}


def good(case, row):
    return row["status"].isdigit() and float(row[measures(case)["time"]]) >= 0


def summarize(case, rows):
    """Medians and minima over the good runs of one program in one case."""
    fields = measures(case)
    runs = [r for r in rows if good(case, r)]

    def pick(key, how=statistics.median):
        values = [float(r[key]) for r in runs]
        return how(values) if values and not (case == "help" and key.startswith(("cpu", "hwm_map"))) else None

    return {"runs": len(runs), "failed": len(rows) - len(runs),
            "time_ms": {"median": pick(fields["time"]), "min": pick(fields["time"], min)},
            "cpu_at_map_ms": {"main_thread_median": pick("cpu_main_map_ms"),
                              "all_threads_median": pick("cpu_map_ms")},
            "memory_kib": {"median": pick(fields["memory"]), "min": pick(fields["memory"], min),
                           "at_map_median": pick("hwm_map_kb")}}


def median_interval(values):
    """The distribution-free interval of at least 95 % around the median: the k-th
    smallest and k-th largest value, for the largest k whose binomial tail (fewer than k
    of n values below the true median) is at most 2.5 %; None with fewer than 6 values."""
    n, k, tail = len(values), 0, 0.0
    while tail + math.comb(n, k) / 2 ** n <= 0.025:
        tail += math.comb(n, k) / 2 ** n
        k += 1
    ordered = sorted(values)
    return [round(ordered[k - 1], 2), round(ordered[n - k], 2)] if k else None


def ratios(case, rows):
    """Each program that ran against the floor: per round, its run divided by the floor's
    run, and the median of those ratios over the rounds where both runs are good."""
    fields = measures(case)
    theirs = {r["round"]: r for r in rows["floor"] if good(case, r)}
    result = {}
    for program in [p for p in rows if p != "floor" and rows[p]]:
        mine = {r["round"]: r for r in rows[program] if good(case, r)}
        pairs = [(mine[n], theirs[n]) for n in sorted(mine.keys() & theirs.keys())]
        paired = {what: [float(a[key]) / float(b[key]) for a, b in pairs
                         if float(a[key]) >= 0 and float(b[key]) > 0] if key else []
                  for what, key in fields.items()}
        entry = {"pairs": len(pairs)}
        entry |= {what: round(statistics.median(values), 2) if values else None
                  for what, values in paired.items()}
        entry["time_interval"] = median_interval(paired["time"])
        result[f"{program}/floor"] = entry
    return result


def print_table(mode, cases):
    def num(value, scale=1, form=".1f"):
        return "-" if value is None else f"{value / scale:{form}}"

    def verdict(value, limit, interval=None):
        if value is None or limit is None:
            return ""
        unsure = interval is not None and interval[0] <= limit < interval[1]
        return ("ok" if value <= limit else "MISS") + "*" * unsure

    print(f"== {mode}: {MODE_NOTES[mode]}")
    row = "{:<20} {:<10} {:>4} {:>9} {:>9} {:>9} {:>9} {:>9}{}"
    print(row.format("case", "program", "runs", "time med", "time min", "cpu med", "mem med", "mem min", ""))
    print(row.format("", "", "", "ms", "ms", "ms", "MiB", "MiB", ""))
    for c in cases:
        for i, (name, p) in enumerate(c["programs"].items()):
            print(row.format("" if i else c["title"], name, p["runs"], num(p["time_ms"]["median"]),
                             num(p["time_ms"]["min"]), num(p["cpu_at_map_ms"]["all_threads_median"]),
                             num(p["memory_kib"]["median"], 1024), num(p["memory_kib"]["min"], 1024),
                             f"  ({p['failed']} failed)" if p["failed"] else ""))
    row = "{:<20} {:<17} {:>5} {:>6} {:<5} {:>11} {:>6} {:>7} {:<4}"
    print("\n" + row.format("median of paired", "ratios", "pairs", "time", "", "time 95% CI", "cpu",
                            "memory", "").rstrip())
    limits = LIMITS[mode]
    for c in cases:
        for i, (name, r) in enumerate(c["ratios"].items()):
            judged = name == "stashwick/floor"
            spread = "-" if r["time_interval"] is None else "{:.2f}-{:.2f}".format(*r["time_interval"])
            time_limit = limits["help" if c["case"] == "help" else "time"]
            print(row.format("" if i else c["title"], name, r["pairs"], num(r["time"], form=".2f"),
                             verdict(r["time"], time_limit if judged else None, r["time_interval"]), spread,
                             num(r["cpu"], form=".2f"), num(r["memory"], form=".2f"),
                             verdict(r["memory"], limits["memory"] if judged else None)
                             + " " + verdict(r["cpu"], limits["cpu"] if judged else None)).rstrip())
    print()


def write_chart(mode, cases, runs, script_path, png):
    """One column per case, time above and memory below, each on its own scale:
    bars are medians, dots the best run, the dashed line 1.05x the floor's median.
    An x label is the program's name with, below it, what it runs where that differs."""
    details = {("help", "floor"): "gtk_init", ("help", "stashwick"): "-h", ("help", "before"): "-h"}
    width = max(900, 400 * len(cases) + 100)
    lines = [f'set terminal pngcairo noenhanced size {width},800 font "DejaVu Sans,10"',
             f'set output "{png}"', "set style fill solid 0.85 border -1",
             'set grid ytics lc rgb "#dddddd"; set border 3; set xtics nomirror scale 0; set ytics nomirror',
             "set yrange [0:*]; set offsets 0, 0, graph 0.12, 0; set bmargin 3.5; unset key",
             f'set multiplot layout 2,{len(cases)} title "stashwick start-up against the smallest GTK+ 2 save '
             f'dialog (floor), {mode} mode\\nbars: median of {runs} runs, dots: best run, dashed: 1.05x '
             'floor; ratios: median of paired runs; Xvfb, no window manager" font ",12"']
    for row, (key, unit, form) in enumerate([("time_ms", "ms", "%.0f"), ("memory_kib", "MiB", "%.1f")]):
        scale = 1 if row == 0 else 1024
        for c in cases:
            progs = c["programs"]
            lines.append("$data << EOD")
            for name, p in progs.items():
                values = [p[key][k] for k in ("median", "min")]
                values = ["NaN" if v is None else f"{v / scale:.3f}" for v in values]
                lines.append(f'"{name}" {values[0]} {values[1]} {COLORS[name]} '
                             f'"{details.get((c["case"], name), "")}"')
            lines.append("EOD")
            what = (c["title"] + "\\n" + ("time to exit" if c["case"] == "help" else "time to dialog mapped")
                    if row == 0 else "peak memory" if c["case"] == "help" else "peak memory VmHWM")
            notes = [f"{name} {r[key.split('_')[0]]:.2f}x" for name, r in c["ratios"].items()
                     if r[key.split("_")[0]] is not None]
            lines += [f'set title "{what} ({unit})\\n{", ".join(notes)}" noenhanced',
                      f"set xrange [-0.6:{len(progs) - 0.4}]", "unset arrow"]
            base = progs["floor"][key]["median"] if "floor" in progs else None
            if base is not None:
                level = base / scale * 1.05
                lines.append(f"set arrow from -0.6,{level} to {len(progs) - 0.4},{level} nohead dt 2 lw 1.5 "
                             'lc rgb "#d62728" front')
            lines.append(f'plot $data using 0:2:(0.7):4:xtic(sprintf("%s\\n%s", strcol(1), strcol(5))) '
                         f'with boxes lc rgb variable, '
                         f'"" using 0:2:(sprintf("{form}", $2)) with labels offset 0,0.7, '
                         f'"" using 0:3 with points pt 7 ps 0.6 lc rgb "black"')
    lines.append("unset multiplot")
    script_path.write_text("\n".join(lines) + "\n")
    subprocess.run(["gnuplot", script_path], check=True)


def main():
    build, results, runs, names, build_type, modes = sys.argv[1:7]
    before = Path(sys.argv[7]) if len(sys.argv) > 7 and sys.argv[7] else None
    build, results, runs = Path(build), Path(results), int(runs)
    names, modes = names.split(","), modes.split(",")
    data = build / "bench-data"
    make_data(data)
    programs = [p for p in PROGRAMS if p != "before" or before]
    for program in programs:
        make_realistic_home(data / "realistic-home" / program, data)
    x_server = x_server_pid()
    print(f"bench/run: {runs} rounds of one run per program ({', '.join(programs)}), modes "
          f"{', '.join(modes)}", file=sys.stderr)
    raw = []
    with open(build / "bench-stderr.log", "w") as log:
        for mode in modes:
            hogs = []
            if mode == "idle":
                if x_server is None:
                    sys.exit("bench/run: the X server of the display was not found")
                real_time(x_server)
            else:
                if x_server is not None:
                    os.sched_setscheduler(x_server, os.SCHED_OTHER, os.sched_param(0))
                hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                        for _ in range(os.cpu_count() or 1)]
            try:
                for case in names:
                    print(f"bench/run: {mode}: {CASES[case]}", file=sys.stderr, flush=True)
                    commands = {p: [str(a) for a in command(case, p, build, data, before)] for p in programs}
                    homes = data / ("realistic-home" if case == "home" else "home")
                    desktop, bus = None, None
                    if case == "desktop":
                        address, bus = start_session_bus(data)
                        desktop = {"DBUS_SESSION_BUS_ADDRESS": address, "GTK_MODULES": "gail:atk-bridge"}
                    for round_ in range(runs + 1):
                        # Round 0 warms up; the order alternates, so that no program always runs first.
                        for program in list(commands)[::1 if round_ % 2 else -1]:
                            fields = measure(case, commands[program], build, homes / program, log, mode,
                                             desktop)
                            if round_:
                                raw.append({"mode": mode, "case": case, "program": program,
                                            "round": round_} | fields)
                    if bus:
                        # gvfs and the accessibility bus leave with it.
                        os.kill(bus, signal.SIGTERM)
            finally:
                for hog in hogs:
                    hog.kill()
                    hog.wait()
    columns = ["mode", "case", "program", "round"] + FIELDS
    (build / "bench-raw.tsv").write_text(
        "".join("\t".join(str(r[k]) for k in columns) + "\n" for r in [dict(zip(columns, columns))] + raw))

    results.mkdir(parents=True, exist_ok=True)
    report = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
              "runs_per_program": runs, "build_dir": str(build), "build_type": build_type,
              "before": str(before) if before else None,
              "display": "Xvfb 1280x1024x24, no window manager",
              "time": "ms from exec to the dialog window mapped; help case: ms from exec to exit",
              "cpu": "ms of CPU time when the dialog was mapped: main thread, and all threads",
              "memory": "KiB VmHWM 300 ms after the map (bigdir: 2000 ms, once the folder has loaded); "
                        "help case: peak RSS of the run",
              "ratios": "a program's run divided by the floor's run in the same round, median over "
                        "the rounds where both are good; time_interval: distribution-free interval that holds the "
                        "median time ratio with at least 95 % confidence (null below 6 rounds)",
              "modes": {}}
    for mode in modes:
        cases = []
        for case in names:
            rows = {p: [r for r in raw if r["mode"] == mode and r["case"] == case and r["program"] == p]
                    for p in ["stashwick"] + [p for p in programs if p != "stashwick"]}
            stats = {p: summarize(case, rs) for p, rs in rows.items() if rs}
            cases.append({"case": case, "title": CASES[case], "programs": stats, "ratios": ratios(case, rows)})
        print_table(mode, cases)
        report["modes"][mode] = {"setting": MODE_NOTES[mode], "limits": LIMITS[mode], "cases": cases}
        write_chart(mode, cases, runs, build / f"bench-{mode}.gp", results / f"bench-{mode}.png")
    print(NOTE)
    (results / "bench.json").write_text(json.dumps(report, indent=2) + "\n")
    print(f"bench/run: wrote {results}/bench.json, {results}/bench-<mode>.png and the raw runs in "
          f"{build}/bench-raw.tsv", file=sys.stderr)


if __name__ == "__main__":
    main()
