#!/usr/bin/env python3
"""The start-up benchmark's runs, statistics, table, JSON and chart; bench/run
builds the programs and starts it on a private display:

    bench.py BUILD_DIR RESULTS_DIR RUNS CASES BUILD_TYPE

Each program of a case runs RUNS times after one warm-up round, in rounds of
one run each, under bench/mapwait; stashwick's ratios to another program are
the medians over the rounds of its run divided by that program's run in the
same round. The table goes to standard output, bench.json and
bench.png to RESULTS_DIR, the raw runs (bench-raw.tsv), the test data and the
chart's gnuplot script to BUILD_DIR.
"""
import datetime
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

TITLE = "Save As"
CASES = {"example": "worked example", "bigdir": "20,000-file folder",
         "filters": "1,000 filters", "help": "-h vs bare gtk_init"}
FEW_FILTERS = [("Text (*.txt)", "*.txt"), ("All files (*.*)", "*.*")]
MANY_FILTERS = [(f"Type {i} (*.t{i})", f"*.t{i}") for i in range(1000)]
# What stashwick is held against, with the most its median paired ratio may be
# (time, memory); None: shown, not judged.
LIMITS = {"floor": (1.05, 1.05), "zenity": (0.5, None), "yad": (0.5, None)}
# The order of a round (reversed every other round): stashwick runs next to
# the floor and to zenity, so that each of those pairs meets the same load.
PROGRAMS = ["floor", "stashwick", "zenity", "yad"]
COLORS = {"stashwick": 0x1F77B4, "floor": 0x7F7F7F, "zenity": 0xFF7F0E, "yad": 0x2CA02C}
FIELDS = ["map_ms", "hwm_map_kb", "hwm_kb", "exit_ms", "maxrss_kb", "status", "cpu_map_ms",
          "cpu_main_map_ms"]
NOTE = """\
time: exec to the dialog window mapped (help case: exec to exit). cpu: CPU time of the main thread
at the map. memory: VmHWM 300 ms after the map (20,000-file folder: 2 s after, once loaded; help
case: peak RSS of the run). floor: bench/floor.c, the smallest GTK+ 2 save dialog doing the same
toolkit work as stashwick: the same filters, the same pending-event pass before the dialog runs,
the same filter made active after it (help case: gtk_init alone against stashwick -h).
Ratios: each program runs once per round, stashwick next to the floor, the order reversed every
other round; a ratio is the median over the rounds of stashwick's run / the other's run in that
round (rounds where either run failed are left out). time 95% CI: the distribution-free interval
that holds the true median time ratio with at least 95% confidence (6 rounds or more).
Verdict: ok when the median ratio is at most the limit, MISS above it; limits: time 1.05 and
memory 1.05 against the floor, time 0.5 against zenity and yad; cpu is not judged. *: the limit
lies inside the 95% interval, so the noise of the machine could turn this verdict."""


def command(case, program, build, data):
    """The command line of a program in a case; None when it has no part in it."""
    if case == "help":
        return {"stashwick": [build / "stashwick", "-h"],
                "floor": [build / "bench/floor", "--init-only"]}.get(program)
    file = data / ("big" if case == "bigdir" else "example") / "notes.txt"
    filters = MANY_FILTERS if case == "filters" else FEW_FILTERS
    pattern = "|".join(f"{name}|{globs}" for name, globs in filters)
    if program == "stashwick":
        return [build / "stashwick", TITLE, file, pattern, "1"]
    if program == "floor":
        return [build / "bench/floor", TITLE, file, pattern, "1"]
    other_filters = [arg for name, globs in filters
                     for arg in ["--file-filter", f"{name} | {'*' if globs == '*.*' else globs}"]]
    return [program, "--file-selection" if program == "zenity" else "--file", "--save", "--title",
            TITLE, "--filename", file] + other_filters


def make_data(data):
    """A small folder and a folder of 20,000 files, made once."""
    for folder, names in [("example", ["notes.txt", "report.txt", "todo.txt", "budget.ods", "photo.jpg"]),
                          ("big", [f"file-{i:05d}.txt" for i in range(1, 20001)] + ["notes.txt"])]:
        (data / folder).mkdir(parents=True, exist_ok=True)
        if len(os.listdir(data / folder)) < len(names):
            for name in names:
                (data / folder / name).touch()


def measure(case, cmd, build, home, log):
    """One run under mapwait, with the program's own private home."""
    for sub in [".config", ".local/share", ".cache", "run"]:
        (home / sub).mkdir(mode=0o700, parents=True, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k != "GTK_MODULES"}
    env.update(HOME=str(home), XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
               XDG_CACHE_HOME=f"{home}/.cache", XDG_RUNTIME_DIR=f"{home}/run", NO_AT_BRIDGE="1",
               GSETTINGS_BACKEND="memory")
    # The large folder takes about two seconds to load, in every program.
    flags = ["-n"] if case == "help" else ["-t", TITLE, "-w", "2000" if case == "bigdir" else "300"]
    run = subprocess.run([build / "bench/mapwait", "-T", "120", *flags, "--", *cmd], env=env,
                         stdout=subprocess.PIPE, stderr=log, text=True)
    fields = dict(pair.split("=", 1) for pair in run.stdout.split() if "=" in pair)
    if run.returncode != 0 or sorted(fields) != sorted(FIELDS):
        return dict.fromkeys(FIELDS, "-1") | {"status": "error"}
    return fields


def measures(case):
    """The raw fields of time, CPU time and memory in a case; None: not measured."""
    if case == "help":
        return {"time": "exit_ms", "cpu": None, "memory": "maxrss_kb"}
    return {"time": "map_ms", "cpu": "cpu_main_map_ms", "memory": "hwm_kb"}


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
    """stashwick against each other program that ran: per round, its run divided by the
    other's run, and the median of those ratios over the rounds where both runs are good."""
    fields = measures(case)
    mine = {r["round"]: r for r in rows["stashwick"] if good(case, r)}
    result = {}
    for other in [p for p in LIMITS if rows.get(p)]:
        theirs = {r["round"]: r for r in rows[other] if good(case, r)}
        pairs = [(mine[n], theirs[n]) for n in sorted(mine.keys() & theirs.keys())]
        paired = {what: [float(a[key]) / float(b[key]) for a, b in pairs
                         if float(a[key]) >= 0 and float(b[key]) > 0] if key else []
                  for what, key in fields.items()}
        entry = {"pairs": len(pairs)}
        entry |= {what: round(statistics.median(values), 2) if values else None
                  for what, values in paired.items()}
        entry["time_interval"] = median_interval(paired["time"])
        result[f"stashwick/{other}"] = entry
    return result


def print_table(cases, absent):
    def num(value, scale=1, form=".1f"):
        return "-" if value is None else f"{value / scale:{form}}"

    def verdict(value, limit, interval=None):
        if value is None or limit is None:
            return ""
        unsure = interval is not None and interval[0] <= limit < interval[1]
        return ("ok" if value <= limit else "MISS") + "*" * unsure

    row = "{:<20} {:<10} {:>4} {:>9} {:>9} {:>9} {:>9} {:>9}{}"
    print(row.format("case", "program", "runs", "time med", "time min", "cpu med", "mem med", "mem min", ""))
    print(row.format("", "", "", "ms", "ms", "ms", "MiB", "MiB", ""))
    for c in cases:
        for i, (name, p) in enumerate(c["programs"].items()):
            print(row.format("" if i else c["title"], name, p["runs"], num(p["time_ms"]["median"]),
                             num(p["time_ms"]["min"]), num(p["cpu_at_map_ms"]["main_thread_median"]),
                             num(p["memory_kib"]["median"], 1024), num(p["memory_kib"]["min"], 1024),
                             f"  ({p['failed']} failed)" if p["failed"] else ""))
    row = "{:<20} {:<17} {:>5} {:>6} {:<5} {:>11} {:>6} {:>7} {:<4}"
    print("\n" + row.format("median of paired", "ratios", "pairs", "time", "", "time 95% CI", "cpu",
                            "memory", "").rstrip())
    for c in cases:
        for i, (name, r) in enumerate(c["ratios"].items()):
            limits = LIMITS[name.split("/")[1]]
            spread = "-" if r["time_interval"] is None else "{:.2f}-{:.2f}".format(*r["time_interval"])
            print(row.format("" if i else c["title"], name, r["pairs"], num(r["time"], form=".2f"),
                             verdict(r["time"], limits[0], r["time_interval"]), spread, num(r["cpu"], form=".2f"),
                             num(r["memory"], form=".2f"), verdict(r["memory"], limits[1])).rstrip())
    print("\n" + NOTE)
    if absent:
        print("absent (bench/run --install-others installs them): " + " ".join(absent))


def write_chart(cases, runs, script_path, png):
    """One column per case, time above and memory below, each on its own scale:
    bars are medians, dots the best run, the dashed line 1.05x the floor's median.
    An x label is the program's name with, below it, what it runs where that differs."""
    details = {("help", "floor"): "gtk_init", ("help", "stashwick"): "-h"}
    width = max(900, 400 * len(cases) + 100)
    lines = [f'set terminal pngcairo noenhanced size {width},800 font "DejaVu Sans,10"',
             f'set output "{png}"', "set style fill solid 0.85 border -1",
             'set grid ytics lc rgb "#dddddd"; set border 3; set xtics nomirror scale 0; set ytics nomirror',
             "set yrange [0:*]; set offsets 0, 0, graph 0.12, 0; set bmargin 3.5; unset key",
             f'set multiplot layout 2,{len(cases)} title "stashwick start-up against the smallest GTK+ 2 save '
             f'dialog (floor), zenity and yad\\nbars: median of {runs} runs, dots: best run, dashed: 1.05x '
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
                     if r[key.split("_")[0]] is not None and name != "stashwick/yad"]
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
    build, results, runs, names, build_type = sys.argv[1:6]
    build, results, runs, names = Path(build), Path(results), int(runs), names.split(",")
    data = build / "bench-data"
    make_data(data)
    absent = [p for p in ["zenity", "yad"] if not shutil.which(p)]
    programs = [p for p in PROGRAMS if p not in absent]
    print(f"bench/run: {runs} rounds of one run per program; absent: {' '.join(absent) or 'none'}",
          file=sys.stderr)
    raw = []
    with open(build / "bench-stderr.log", "w") as log:
        for case in names:
            print(f"bench/run: {CASES[case]}", file=sys.stderr, flush=True)
            commands = {p: [str(a) for a in cmd] for p in programs if (cmd := command(case, p, build, data))}
            for round_ in range(runs + 1):
                # Round 0 warms up; the order alternates, so that no program always runs first.
                for program in list(commands)[::1 if round_ % 2 else -1]:
                    fields = measure(case, commands[program], build, data / "home" / program, log)
                    if round_:
                        raw.append({"case": case, "program": program, "round": round_} | fields)
    columns = ["case", "program", "round"] + FIELDS
    (build / "bench-raw.tsv").write_text(
        "".join("\t".join(str(r[k]) for k in columns) + "\n" for r in [dict(zip(columns, columns))] + raw))

    cases = []
    for case in names:
        rows = {p: [r for r in raw if r["case"] == case and r["program"] == p]
                for p in ["stashwick"] + [p for p in programs if p != "stashwick"]}
        stats = {p: summarize(case, rs) for p, rs in rows.items() if rs}
        cases.append({"case": case, "title": CASES[case], "programs": stats, "ratios": ratios(case, rows)})
    print_table(cases, absent)

    results.mkdir(parents=True, exist_ok=True)
    report = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
              "runs_per_program": runs, "build_dir": str(build), "build_type": build_type,
              "display": "Xvfb 1280x1024x24, no window manager",
              "time": "ms from exec to the dialog window mapped; help case: ms from exec to exit",
              "cpu": "ms of CPU time when the dialog was mapped: main thread, and all threads",
              "memory": "KiB VmHWM 300 ms after the map (bigdir: 2000 ms, once the folder has loaded); "
                        "help case: peak RSS of the run",
              "ratios": "stashwick's run divided by the other program's run in the same round, median over "
                        "the rounds where both are good; time_interval: distribution-free interval that holds the "
                        "median time ratio with at least 95 % confidence (null below 6 rounds)",
              "absent": absent, "cases": cases}
    (results / "bench.json").write_text(json.dumps(report, indent=2) + "\n")
    write_chart(cases, runs, build / "bench.gp", results / "bench.png")
    print(f"bench/run: wrote {results}/bench.json, {results}/bench.png and the raw runs in "
          f"{build}/bench-raw.tsv", file=sys.stderr)


if __name__ == "__main__":
    main()
