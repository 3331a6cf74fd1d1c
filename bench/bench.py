#!/usr/bin/env python3
"""The start-up benchmark's runs, statistics, table, JSON and chart; bench/run
builds the programs and starts it on a private display:

    bench.py BUILD_DIR RESULTS_DIR RUNS CASES BUILD_TYPE

Each program of a case runs RUNS times after one warm-up run, interleaved,
under bench/mapwait. The table goes to standard output, bench.json and
bench.png to RESULTS_DIR, the raw runs (bench-raw.tsv), the test data and the
chart's gnuplot script to BUILD_DIR.
"""
import datetime
import json
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
# What stashwick is held against, with the most its ratio of medians may be
# (time, memory). Where floor-pass runs (the 20,000-file folder) it is the
# target, and the ratio to the plain floor shows what stashwick's
# pending-event pass costs.
LIMITS = {"floor-pass": (1.05, 1.05), "floor": (1.05, 1.05), "zenity": (0.5, None), "yad": (0.5, None)}
COLORS = {"stashwick": 0x1F77B4, "floor": 0x7F7F7F, "floor-pass": 0x9467BD, "zenity": 0xFF7F0E,
          "yad": 0x2CA02C}
FIELDS = ["map_ms", "hwm_map_kb", "hwm_kb", "exit_ms", "maxrss_kb", "status", "cpu_map_ms",
          "cpu_main_map_ms"]
NOTE = """\
time: exec to the dialog window mapped (help case: exec to exit). cpu: CPU time of the main thread
at the map. memory: VmHWM 300 ms after the map (20,000-file folder: 2 s after, once loaded; help
case: peak RSS of the run). Targets: time <= 1.05x floor and <= 0.5x zenity; memory <= 1.05x floor.
floor: bench/floor.c, the smallest GTK+ 2 save dialog; in the 1,000-filter case and the 20,000-file
folder it adds the same filters the plain way, so that both do the same toolkit work. floor-pass:
the floor with stashwick's pending-event pass before the dialog runs and its filter preselected
after it; in the 20,000-file folder it is the target, and stashwick/floor shows what the pass costs."""


def command(case, program, build, data):
    """The command line of a program in a case; None when it has no part in it."""
    if case == "help":
        return {"stashwick": [build / "stashwick", "-h"],
                "floor": [build / "bench/floor", "--init-only"]}.get(program)
    if program == "floor-pass" and case != "bigdir":
        return None
    file = data / ("big" if case == "bigdir" else "example") / "notes.txt"
    filters = MANY_FILTERS if case == "filters" else FEW_FILTERS
    pattern = "|".join(f"{name}|{globs}" for name, globs in filters)
    if program == "stashwick":
        return [build / "stashwick", TITLE, file, pattern, "1"]
    if program.startswith("floor"):
        # The floor adds the filters where they cost: many of them, or a few
        # that are applied to 20,000 files.
        return ([build / "bench/floor"] + ["--pass"] * (program == "floor-pass") + [TITLE, file] +
                ([pattern, "1"] if case != "example" else []))
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


def summarize(case, rows):
    """Medians and minima over the good runs of one program in one case."""
    time, memory = ("exit_ms", "maxrss_kb") if case == "help" else ("map_ms", "hwm_kb")
    good = [r for r in rows if r["status"].isdigit() and float(r[time]) >= 0]

    def pick(key, how=statistics.median):
        values = [float(r[key]) for r in good]
        return how(values) if values and not (case == "help" and key.startswith(("cpu", "hwm_map"))) else None

    return {"runs": len(good), "failed": len(rows) - len(good),
            "time_ms": {"median": pick(time), "min": pick(time, min)},
            "cpu_at_map_ms": {"main_thread_median": pick("cpu_main_map_ms"),
                              "all_threads_median": pick("cpu_map_ms")},
            "memory_kib": {"median": pick(memory), "min": pick(memory, min),
                           "at_map_median": pick("hwm_map_kb")}}


def ratios(programs):
    def ratio(key, sub, other):
        a, b = programs["stashwick"][key][sub], programs[other][key][sub]
        return round(a / b, 2) if a is not None and b else None
    return {f"stashwick/{other}": {"time": ratio("time_ms", "median", other),
                                   "cpu": ratio("cpu_at_map_ms", "main_thread_median", other),
                                   "memory": ratio("memory_kib", "median", other)}
            for other in LIMITS if other in programs}


def print_table(cases, absent):
    def num(value, scale=1, form=".1f"):
        return "-" if value is None else f"{value / scale:{form}}"

    def verdict(value, limit):
        return "" if value is None or limit is None else "ok" if value <= limit else "MISS"

    row = "{:<20} {:<10} {:>4} {:>9} {:>9} {:>9} {:>9} {:>9}{}"
    print(row.format("case", "program", "runs", "time med", "time min", "cpu med", "mem med", "mem min", ""))
    print(row.format("", "", "", "ms", "ms", "ms", "MiB", "MiB", ""))
    for c in cases:
        for i, (name, p) in enumerate(c["programs"].items()):
            print(row.format("" if i else c["title"], name, p["runs"], num(p["time_ms"]["median"]),
                             num(p["time_ms"]["min"]), num(p["cpu_at_map_ms"]["main_thread_median"]),
                             num(p["memory_kib"]["median"], 1024), num(p["memory_kib"]["min"], 1024),
                             f"  ({p['failed']} failed)" if p["failed"] else ""))
    row = "{:<20} {:<21} {:>8} {:<4} {:>8} {:>8} {:<4}"
    print("\n" + row.format("ratios of medians", "", "time", "", "cpu", "memory", "").rstrip())
    for c in cases:
        for i, (name, r) in enumerate(c["ratios"].items()):
            other = name.split("/")[1]
            limits = (None, None) if other == "floor" and "floor-pass" in c["programs"] else LIMITS[other]
            print(row.format("" if i else c["title"], name, num(r["time"], form=".2f"),
                             verdict(r["time"], limits[0]), num(r["cpu"], form=".2f"),
                             num(r["memory"], form=".2f"), verdict(r["memory"], limits[1])).rstrip())
    print("\n" + NOTE)
    if absent:
        print("absent (bench/run --install-others installs them): " + " ".join(absent))


def write_chart(cases, runs, script_path, png):
    """One column per case, time above and memory below, each on its own scale:
    bars are medians, dots the best run, the dashed line 1.05x the target floor."""
    labels = {("help", "floor"): "floor gtk_init", ("help", "stashwick"): "stashwick -h",
              ("filters", "floor"): "floor+filters", ("bigdir", "floor"): "floor+filters",
              ("bigdir", "floor-pass"): "floor+filters+pass"}
    width = max(900, 400 * len(cases) + 100)
    lines = [f'set terminal pngcairo noenhanced size {width},800 font "DejaVu Sans,10"',
             f'set output "{png}"', "set style fill solid 0.85 border -1",
             'set grid ytics lc rgb "#dddddd"; set border 3; set xtics nomirror scale 0; set ytics nomirror',
             "set yrange [0:*]; set offsets 0, 0, graph 0.12, 0; unset key",
             f'set multiplot layout 2,{len(cases)} title "stashwick start-up against the smallest GTK+ 2 save '
             f'dialog (floor), zenity and yad\\nbars: median of {runs} runs, dots: best run, dashed: 1.05x '
             'floor; Xvfb, no window manager" font ",12"']
    for row, (key, unit, form) in enumerate([("time_ms", "ms", "%.0f"), ("memory_kib", "MiB", "%.1f")]):
        scale = 1 if row == 0 else 1024
        for c in cases:
            progs = c["programs"]
            lines.append("$data << EOD")
            for name, p in progs.items():
                values = [p[key][k] for k in ("median", "min")]
                values = ["NaN" if v is None else f"{v / scale:.3f}" for v in values]
                lines.append(f'"{labels.get((c["case"], name), name)}" {values[0]} {values[1]} {COLORS[name]}')
            lines.append("EOD")
            what = (c["title"] + "\\n" + ("time to exit" if c["case"] == "help" else "time to dialog mapped")
                    if row == 0 else "peak memory" if c["case"] == "help" else "peak memory VmHWM")
            notes = [f"{name} {r[key.split('_')[0]]:.2f}x" for name, r in c["ratios"].items()
                     if r[key.split("_")[0]] is not None and name != "stashwick/yad"]
            lines += [f'set title "{what} ({unit})\\n{", ".join(notes)}" noenhanced',
                      f"set xrange [-0.6:{len(progs) - 0.4}]", "unset arrow"]
            base = progs.get("floor-pass", progs.get("floor"))[key]["median"]
            if base is not None:
                level = base / scale * 1.05
                lines.append(f"set arrow from -0.6,{level} to {len(progs) - 0.4},{level} nohead dt 2 lw 1.5 "
                             'lc rgb "#d62728" front')
            lines.append(f'plot $data using 0:2:(0.7):4:xtic(1) with boxes lc rgb variable, '
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
    programs = ["stashwick", "floor", "floor-pass"] + [p for p in ["zenity", "yad"] if p not in absent]
    print(f"bench/run: {runs} runs per program, interleaved; absent: {' '.join(absent) or 'none'}",
          file=sys.stderr)
    raw = []
    with open(build / "bench-stderr.log", "w") as log:
        for case in names:
            print(f"bench/run: {CASES[case]}", file=sys.stderr)
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
        rows = {p: [r for r in raw if r["case"] == case and r["program"] == p] for p in programs}
        stats = {p: summarize(case, rs) for p, rs in rows.items() if rs}
        cases.append({"case": case, "title": CASES[case], "programs": stats, "ratios": ratios(stats)})
    print_table(cases, absent)

    results.mkdir(parents=True, exist_ok=True)
    report = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
              "runs_per_program": runs, "build_dir": str(build), "build_type": build_type,
              "display": "Xvfb 1280x1024x24, no window manager",
              "time": "ms from exec to the dialog window mapped; help case: ms from exec to exit",
              "cpu": "ms of CPU time when the dialog was mapped: main thread, and all threads",
              "memory": "KiB VmHWM 300 ms after the map (bigdir: 2000 ms, once the folder has loaded); "
                        "help case: peak RSS of the run",
              "absent": absent, "cases": cases}
    (results / "bench.json").write_text(json.dumps(report, indent=2) + "\n")
    write_chart(cases, runs, build / "bench.gp", results / "bench.png")
    print(f"bench/run: wrote {results}/bench.json, {results}/bench.png and the raw runs in "
          f"{build}/bench-raw.tsv", file=sys.stderr)


if __name__ == "__main__":
    main()
