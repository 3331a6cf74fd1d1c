#!/usr/bin/env python3
"""The start-up benchmark's runs, statistics, table, JSON and chart; bench/run
builds the programs and starts it on a private display:

    bench.py BUILD_DIR RESULTS_DIR RUNS CASES BUILD_TYPE MODES TOOLKIT [BEFORE]

Each program of a case runs RUNS times after one warm-up round, in rounds of
one run each, under bench/mapwait, in each of MODES (idle, loaded; see
MODE_NOTES): stashwick, the floor (bench/floor.c built on TOOLKIT, gtk2 or
gtk3, as stashwick is) and zenity, the system's GTK 3 save dialog; in the
portal case (GTK 3 only) stashwick through the desktop portal ("portal"),
stashwick's own dialog and zenity through the portal instead. A ratio is
the median over the rounds of one program's run divided by another's run in
the same round. BEFORE, when given, is another stashwick binary (an earlier
build) that runs in the same rounds as "before". The table goes to standard
output, bench.json and bench-<mode>.png (GTK 3: bench-gtk3.json,
bench-gtk3-<mode>.png) to RESULTS_DIR, the raw runs (bench-raw.tsv), the test
data and the charts' gnuplot scripts to BUILD_DIR.
"""
import datetime
import json
import math
import os
import signal
import socket
import statistics
import subprocess
import sys
import textwrap
import time
import urllib.parse
from pathlib import Path

TITLE = "Save As"
CASES = {"example": "worked example", "bigdir": "20,000-file folder",
         "home": "realistic home", "filters": "1,000 filters", "help": "-h vs bare gtk_init",
         "desktop": "session bus, gvfs, a11y", "deadbus": "dead session bus",
         "portal": "desktop portal"}
TOOLKITS = {"gtk2": "GTK+ 2", "gtk3": "GTK 3"}
# The Debian packages of the toolkits, for their versions.
TOOLKIT_PACKAGES = {"gtk2": "libgtk2.0-0", "gtk3": "libgtk-3-0"}
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
# The most a median paired ratio to the floor may be, per toolkit and mode:
# time (dialog cases, help case), CPU time, memory. With a free second core the
# GTK+ 2 dialog must be on screen sooner than its floor's (the early font map
# overlaps the toolkit's start); on GTK 3 that overlap gains nothing, and the
# dialog must be no slower. With every core busy, no slower on either.
NO_SLOWER = {"time": 1.05, "help": 1.05, "cpu": 1.05, "memory": 1.05}
LIMITS = {"gtk2": {"idle": NO_SLOWER | {"time": 0.90}, "loaded": NO_SLOWER},
          "gtk3": {"idle": NO_SLOWER, "loaded": NO_SLOWER}}
LIMITS_NOTE = {"gtk2": "idle: time 0.90 (help case 1.05), cpu 1.05, memory 1.05; loaded: time, cpu and memory 1.05.",
               "gtk3": "time, cpu and memory 1.05 in both modes."}
MODE_NOTES = {
    "idle": "idle second core: the programs, their threads and the X server at real-time priority "
            "(SCHED_FIFO 50), so that other load on the machine does not take a core from them",
    "loaded": "every core busy: one busy loop per core at normal priority for the whole mode, the "
              "programs and the X server at normal priority"}
# The order of a round (reversed every other round): stashwick runs between
# the floor and zenity, so that each pair meets the same load; in the portal
# case, stashwick through the portal ("portal") runs between stashwick's own
# dialog and zenity.
PROGRAMS = ["floor", "stashwick", "portal", "zenity", "before"]
COLORS = {"stashwick": 0x1F77B4, "floor": 0x7F7F7F, "zenity": 0x2CA02C, "before": 0xFF7F0E,
          "portal": 0x9467BD}
# The ratios in the table: each program against the floor, and stashwick
# against zenity; in the portal case, stashwick through the portal against its
# own dialog and against zenity through the portal.
PAIRS = [("stashwick", "floor"), ("zenity", "floor"), ("before", "floor"), ("stashwick", "zenity")]
PORTAL_PAIRS = [("portal", "stashwick"), ("portal", "zenity")]
# The portal case: its programs that run with GTK_USE_PORTAL=1, whose dialog
# window is the portal backend's (xdg-desktop-portal-gtk, a process of its
# own): the time is still exec to that window mapped, but mapwait's CPU time
# and memory are the program's alone, without the backend's.
PORTAL_PROGRAMS = ("portal", "zenity")
# The desktop portal and its GTK 3 backend; the backend's .portal file offers
# it to the GNOME desktop, which the portal case's bus names, so that the
# portal takes this backend whatever other ones are installed.
PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_BACKEND = "org.freedesktop.impl.portal.desktop.gtk"
PORTAL_DESKTOP = "GNOME"
# The realistic home: recent files (some gone) and bookmarks (some missing).
RECENT_ENTRIES = 500
BOOKMARKS = 20
FIELDS = ["map_ms", "hwm_map_kb", "hwm_kb", "exit_ms", "maxrss_kb", "status", "cpu_map_ms",
          "cpu_main_map_ms"]
NOTE = """\
time: exec to the dialog window mapped (help case: exec to exit). cpu: CPU time of all the
process's threads at the map. memory: VmHWM 300 ms after the map (20,000-file folder: 2 s after,
once loaded; help case: peak RSS of the run). floor: bench/floor.c, the smallest {toolkit} save
dialog doing the same toolkit work as stashwick: the same filters, the same pending-event pass
before the dialog runs, the same filter made active after it (help case: gtk_init alone against
stashwick -h). zenity: zenity --file-selection --save, the system's GTK 3 save dialog, with the
same title, default file (--filename) and filters (--file-filter; it makes none of them active,
its first one is); no help case. before: the stashwick binary given with --before.
{environment}
realistic home: the worked example with a recent-files list of 500 entries (half of them gone)
and 20 bookmarks (5 of them missing).
Ratios: each program runs once per round, stashwick between the floor and zenity, the order
reversed every other round; a ratio is the median over the rounds of a run / the other program's
run in that round (rounds where either run failed are left out). time 95% CI: the
distribution-free interval that holds the true median time ratio with at least 95% confidence
(6 rounds or more).
Verdict (stashwick/floor): ok when the median ratio is at most the limit, MISS above it; limits:
{limits}
*: the limit lies inside the 95% interval, so the noise of the machine could turn this verdict.
left behind: the processes started by a case's runs (found by their private homes) that still
ran once it was over; they are ended then."""
PORTAL_NOTE = """\
desktop portal (GTK 3 only): a session bus of the bench's own, as desktop's, on which the
desktop portal (xdg-desktop-portal) and its GTK backend (xdg-desktop-portal-gtk) run warm:
started once before the rounds and kept for all of them, in a home and runtime folder of their
own, with XDG_CURRENT_DESKTOP={desktop} (the backend's desktop) and, in the idle mode, at
real-time priority as the programs (the bus and every service it starts). portal: stashwick with
GTK_USE_PORTAL=1, its save dialog the backend's window; stashwick: its own dialog, on the same
bus; zenity: zenity --file-selection --save with GTK_USE_PORTAL=1, the backend's window too (its
toolkit's native chooser still makes a file chooser dialog of its own first, never shown). No
floor and no --before there, and no verdict; a round runs portal between stashwick and zenity.
portal, zenity: time is exec to the backend's window mapped; cpu and memory are the program's
own process only, without the backend's (the dialog's work), so portal/stashwick has no cpu or
memory ratio (portal/zenity compares the two programs' own parts)."""
# The environments of the runs, filled in with what the floor and zenity get.
ENVIRONMENT_NOTE = (
    "Environment: no session bus, the accessibility bridge off (NO_AT_BRIDGE=1) and GSETTINGS_BACKEND=memory, "
    "but for desktop: a session bus of the bench's own with gvfs and the accessibility bus, the bridge asked "
    "for (GTK_MODULES=gail:atk-bridge); dead session bus: DBUS_SESSION_BUS_ADDRESS names a unix socket that "
    "was bound and whose owner is gone (connect: ECONNREFUSED), the bridge asked for and dconf used, as in a "
    "session whose bus has ended. Where no session bus is, the floor and zenity get what stashwick sets for "
    "itself there before gtk_init, so that they do the same toolkit work and autolaunch no bus that would "
    "outlive them: the {toolkit} floor {floor_own}; zenity {zenity_own}.")


def command(case, program, build, data, before):
    """The command line of a program in a case; None: the program has none there."""
    # The portal case runs stashwick through the portal and not, and zenity; "portal" runs there alone.
    if (program in ("floor", "before")) if case == "portal" else program == "portal":
        return None
    if program == "portal":
        program = "stashwick"
    if program == "zenity":
        return None if case == "help" else zenity_command(*dialog_arguments(case, data))
    binary = {"stashwick": build / "stashwick", "before": before, "floor": build / "bench/floor"}[program]
    if case == "help":
        return [binary, "--init-only" if program == "floor" else "-h"]
    file, filters = dialog_arguments(case, data)
    pattern = "|".join(f"{name}|{globs}" for name, globs in filters)
    return [binary, TITLE, file, pattern, "1"]


def dialog_arguments(case, data):
    """The default file and the filters of a dialog case."""
    file = data / ("big" if case == "bigdir" else "example") / "notes.txt"
    return file, MANY_FILTERS if case == "filters" else FEW_FILTERS


def zenity_command(file, filters):
    """zenity's save dialog on the same file with the same filters: its globs are apart by
    spaces, and "*.*" is "*" as stashwick takes it."""
    globs = [" ".join("*" if glob == "*.*" else glob for glob in globs.split(";")) for _, globs in filters]
    return (["zenity", "--file-selection", "--save", f"--title={TITLE}", f"--filename={file}"]
            + [f"--file-filter={name} | {patterns}" for (name, _), patterns in zip(filters, globs)])


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


def start_session_bus(data, env=None, stderr=None, preexec_fn=None):
    """A session bus of the bench's own: its address and pid. The services it starts get its
    environment (env; default the bench's) with its address, its standard error and its
    scheduling."""
    (data / "session.conf").write_text(BUS_CONFIG)
    out = subprocess.run(["dbus-daemon", f"--config-file={data}/session.conf", "--fork", "--print-address=1",
                          "--print-pid=1"], stdout=subprocess.PIPE, stderr=stderr, env=env, preexec_fn=preexec_fn,
                         text=True, check=True).stdout.split()
    return out[0], int(out[1])


def bus_call(address, *args):
    """A method call to the bus itself (dbus-send); its reply's value, as dbus-send prints it."""
    out = subprocess.run(["dbus-send", f"--bus={address}", "--print-reply=literal", "--reply-timeout=10000",
                          "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus", *args],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return out.stdout.split()[-1] if out.returncode == 0 and out.stdout.split() else None


def start_portal_session(data, mode, log):
    """The portal case's session bus, with the desktop portal and its GTK backend running warm:
    its address and pid. The bus runs in the environment of a program of the case (the bridge
    asked for, the settings in memory) in a home of its own, whose runtime folder the document
    portal mounts its file system in, on the desktop whose backend is the GTK one; in the idle
    mode at real-time priority as the programs, and so the services it starts. The portal is
    started by its activation, which starts the backend (before the portal takes its name);
    services that leave the bus leave with it."""
    env = environment("portal", data / "home" / "portal-services", "pending")
    env.pop("DBUS_SESSION_BUS_ADDRESS")  # the bus gives its own to what it starts
    env["XDG_CURRENT_DESKTOP"] = PORTAL_DESKTOP
    address, pid = start_session_bus(data, env, log, real_time if mode == "idle" else None)
    started = bus_call(address, "org.freedesktop.DBus.StartServiceByName", f"string:{PORTAL}", "uint32:0")
    end = time.monotonic() + 10
    while bus_call(address, "org.freedesktop.DBus.NameHasOwner", f"string:{PORTAL_BACKEND}") != "true":
        if time.monotonic() > end:
            os.kill(pid, signal.SIGTERM)
            sys.exit(f"bench/run: the desktop portal did not start with its backend {PORTAL_BACKEND} "
                     f"(StartServiceByName {PORTAL}: {started}); see {log.name}")
        time.sleep(0.05)
    return address, pid


def dead_bus(data):
    """The address of a session bus that has gone: a unix socket that was bound and whose
    owner has closed it, so that a connect there fails with ECONNREFUSED at once."""
    path = data / "dead-bus"
    path.unlink(missing_ok=True)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as owner:
        owner.bind(str(path))
    return "unix:path=" + urllib.parse.quote(str(path), safe="/-_.")


def environment(case, home, session):
    """The environment of a run in a case, with the program's own private home. No session
    bus (one of the caller's would be another machine's load), the accessibility bridge off
    and the settings in memory; session: the address of the desktop or portal case's bus or of
    the dead one, where the bridge is asked for (GTK+ 2 loads it from GTK_MODULES) and, on the
    dead one, dconf left to meet it too. WAYLAND_DISPLAY goes: the display is the private Xvfb;
    so does GTK_USE_PORTAL: only the portal case's runs that go through the portal have it."""
    for sub in [".config", ".local/share", ".cache", "run"]:
        (home / sub).mkdir(mode=0o700, parents=True, exist_ok=True)
    env = {k: v for k, v in os.environ.items()
           if k not in ("GTK_MODULES", "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "GTK_USE_PORTAL")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
               XDG_CACHE_HOME=f"{home}/.cache", XDG_RUNTIME_DIR=f"{home}/run", NO_AT_BRIDGE="1",
               GSETTINGS_BACKEND="memory")
    if session:
        env.pop("NO_AT_BRIDGE")
        env.update(DBUS_SESSION_BUS_ADDRESS=session, GTK_MODULES="gail:atk-bridge")
    if case == "deadbus":
        env.pop("GSETTINGS_BACKEND")
    return env


def own_settings(toolkit, env):
    """What stashwick sets for itself before gtk_init in env, on that toolkit, where no
    session bus is (KeepHungDesktopServicesAway, src/desktop/): the file
    system layer local and no bus address, when GTK 3 or the accessibility bridge asked for
    would autolaunch a session bus that outlives the program; on GTK 3 (whose bridge is built
    in and whose settings go to dconf over the bus) the bridge off and the settings in memory
    as well. Empty where a bus address is set: then it sets nothing, or only for services that
    do not answer, which the bench's bus has running."""
    if env.get("DBUS_SESSION_BUS_ADDRESS"):
        return {}
    modules = env.get("GTK_MODULES", "").split(":")
    bridge = env.get("NO_AT_BRIDGE") != "1" and (
        toolkit == "gtk3" or any(Path(m).name in ("atk-bridge", "libatk-bridge.so") for m in modules))
    settings = {}
    if bridge or toolkit == "gtk3":
        settings |= {"GIO_USE_VFS": "local", "GIO_USE_VOLUME_MONITOR": "unix",
                     "DBUS_SESSION_BUS_ADDRESS": "disabled:"}
    if toolkit == "gtk3":
        settings |= {"NO_AT_BRIDGE": "1", "GSETTINGS_BACKEND": env.get("GSETTINGS_BACKEND", "memory")}
    return settings


def program_environment(program, toolkit, env):
    """A program's environment in a case's env: the floor (of the build's toolkit) and zenity
    (GTK 3) set nothing for themselves where no bus is, so they get what stashwick would set."""
    own = {"floor": toolkit, "zenity": "gtk3"}.get(program)
    return env | own_settings(own, env) if own else env


def describe_own(toolkit, env):
    """own_settings in words, for the table's notes: what differs from env."""
    changed = {k: v for k, v in own_settings(toolkit, env).items() if env.get(k) != v}
    return "gets " + ", ".join(f"{k}={v}" for k, v in changed.items()) if changed else "gets nothing more"


def measure(case, cmd, build, env, log, mode):
    """One run under mapwait, in env."""
    # The large folder takes about two seconds to load, in every program.
    flags = ["-n"] if case == "help" else ["-t", TITLE, "-w", "2000" if case == "bigdir" else "300"]
    run = subprocess.run([build / "bench/mapwait", "-T", "120", *flags, "--", *cmd], env=env,
                         stdout=subprocess.PIPE, stderr=log, text=True,
                         preexec_fn=real_time if mode == "idle" else None)
    fields = dict(pair.split("=", 1) for pair in run.stdout.split() if "=" in pair)
    if run.returncode != 0 or sorted(fields) != sorted(FIELDS):
        return dict.fromkeys(FIELDS, "-1") | {"status": "error"}
    return fields


def bench_processes(data):
    """The processes that run with a home inside the bench's data (a program's private home,
    or the bench's own): pid -> that home's name and the command's name."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            env = Path(f"/proc/{entry}/environ").read_bytes().split(b"\0")
            name = Path(f"/proc/{entry}/comm").read_text().strip()
        except OSError:
            continue
        homes = [v[5:].decode(errors="replace") for v in env if v.startswith(b"HOME=")]
        if homes and homes[0].startswith(f"{data}/"):
            found[int(entry)] = f"{Path(homes[0]).name}: {name}"
    return found


def left_behind(data, known, grace_s=5.0):
    """What a case's runs left behind: the processes of the bench's homes that were not there
    before it (known) and still run after grace_s seconds (the desktop bus's services leave
    after it). They are ended, so that no later run meets them."""
    end = time.monotonic() + grace_s
    while True:
        stray = {pid: what for pid, what in bench_processes(data).items() if pid not in known}
        if not stray or time.monotonic() > end:
            break
        time.sleep(0.1)
    for pid in stray:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    return sorted(stray.values())


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
    """Each pair of PAIRS (the portal case: PORTAL_PAIRS) that ran: per round, the one's run
    divided by the other's run, and the median of those ratios over the rounds where both runs
    are good. No CPU time or memory ratio between a program whose dialog is the portal backend's
    window and one whose dialog is its own: the one's measures leave the dialog's work out."""
    result = {}
    pairs_of_case = PORTAL_PAIRS if case == "portal" else PAIRS
    for program, base in [(p, b) for p, b in pairs_of_case if rows.get(p) and rows.get(b)]:
        fields = measures(case)
        if case == "portal" and (program in PORTAL_PROGRAMS) != (base in PORTAL_PROGRAMS):
            fields |= {"cpu": None, "memory": None}
        theirs = {r["round"]: r for r in rows[base] if good(case, r)}
        mine = {r["round"]: r for r in rows[program] if good(case, r)}
        pairs = [(mine[n], theirs[n]) for n in sorted(mine.keys() & theirs.keys())]
        paired = {what: [float(a[key]) / float(b[key]) for a, b in pairs
                         if float(a[key]) >= 0 and float(b[key]) > 0] if key else []
                  for what, key in fields.items()}
        entry = {"pairs": len(pairs)}
        entry |= {what: round(statistics.median(values), 2) if values else None
                  for what, values in paired.items()}
        entry["time_interval"] = median_interval(paired["time"])
        result[f"{program}/{base}"] = entry
    return result


def print_table(mode, toolkit, cases):
    def num(value, scale=1, form=".1f"):
        return "-" if value is None else f"{value / scale:{form}}"

    def verdict(value, limit, interval=None):
        if value is None or limit is None:
            return ""
        unsure = interval is not None and interval[0] <= limit < interval[1]
        return ("ok" if value <= limit else "MISS") + "*" * unsure

    print(f"== {mode}, {TOOLKITS[toolkit]} build and floor: {MODE_NOTES[mode]}")
    row = "{:<20} {:<10} {:>4} {:>9} {:>9} {:>9} {:>9} {:>9}{}"
    print(row.format("case", "program", "runs", "time med", "time min", "cpu med", "mem med", "mem min", ""))
    print(row.format("", "", "", "ms", "ms", "ms", "MiB", "MiB", ""))
    for c in cases:
        for i, (name, p) in enumerate(c["programs"].items()):
            print(row.format("" if i else c["title"], name, p["runs"], num(p["time_ms"]["median"]),
                             num(p["time_ms"]["min"]), num(p["cpu_at_map_ms"]["all_threads_median"]),
                             num(p["memory_kib"]["median"], 1024), num(p["memory_kib"]["min"], 1024),
                             (f"  ({p['failed']} failed)" if p["failed"] else "")
                             + ("  (cpu, mem: without the backend)"
                                if c["case"] == "portal" and name in PORTAL_PROGRAMS else "")))
    row = "{:<20} {:<17} {:>5} {:>6} {:<5} {:>11} {:>6} {:>7} {:<4}"
    print("\n" + row.format("median of paired", "ratios", "pairs", "time", "", "time 95% CI", "cpu",
                            "memory", "").rstrip())
    limits = LIMITS[toolkit][mode]
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
    stray = [f"{c['title']}: {', '.join(c['left_behind'])}" for c in cases if c["left_behind"]]
    print("\nleft behind: " + ("; ".join(stray) if stray else "none") + "\n")


def write_chart(mode, toolkit, cases, runs, script_path, png):
    """One column per case, time above and memory below, each on its own scale:
    bars are medians, dots the best run, the dashed line 1.05x the floor's median.
    An x label is the program's name with, below it, what it runs where that differs."""
    details = {("help", "floor"): "gtk_init", ("help", "stashwick"): "-h", ("help", "before"): "-h",
               ("portal", "stashwick"): "own dialog", ("portal", "portal"): "via portal*",
               ("portal", "zenity"): "via portal*"}
    width = max(900, 400 * len(cases) + 100)
    lines = [f'set terminal pngcairo noenhanced size {width},800 font "DejaVu Sans,10"',
             f'set output "{png}"', "set style fill solid 0.85 border -1",
             'set grid ytics lc rgb "#dddddd"; set border 3; set xtics nomirror scale 0; set ytics nomirror',
             "set yrange [0:*]; set offsets 0, 0, graph 0.12, 0; set bmargin 3.5; unset key",
             f'set multiplot layout 2,{len(cases)} title "stashwick start-up against the smallest '
             f'{TOOLKITS[toolkit]} save dialog (floor) and zenity, {mode} mode\\nbars: median of {runs} runs, '
             'dots: best run, dashed: 1.05x floor; ratios: median of paired runs; Xvfb, no window manager" '
             'font ",12"']
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
            if c["case"] == "portal" and row == 1:
                what += ", *: without the backend"
            # The ratios to the floor on one line, stashwick/zenity on the next.
            notes = [[f"{name} {r[key.split('_')[0]]:.2f}x" for name, r in c["ratios"].items()
                      if r[key.split("_")[0]] is not None and name.endswith("/floor") == floor]
                     for floor in (True, False)]
            lines += [f'set title "{what} ({unit})\\n' + "\\n".join(", ".join(n) for n in notes if n)
                      + '" noenhanced',
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


def package_version(package):
    """The installed version of a Debian package; None when it is not installed. (Not
    "zenity --version": that starts GTK, which autolaunches a session bus.)"""
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
    version = out.stdout.strip() if out.returncode == 0 else ""
    return version or None


def run_case(case, mode, rounds, programs, toolkit, paths, log):
    """The rounds of one case in one mode (paths: the build folder, the test data and the
    --before binary): the raw runs, and what they left behind."""
    build, data, before = paths
    print(f"bench/run: {mode}: {CASES[case]}", file=sys.stderr, flush=True)
    commands = {p: [str(a) for a in c] for p in programs if (c := command(case, p, build, data, before))}
    homes = data / ("realistic-home" if case == "home" else "home")
    known = bench_processes(data)
    session, bus = None, None
    if case == "desktop":
        session, bus = start_session_bus(data)
    elif case == "deadbus":
        session = dead_bus(data)
    elif case == "portal":
        session, bus = start_portal_session(data, mode, log)
    raw = []
    for round_ in range(rounds + 1):
        # Round 0 warms up; the order alternates, so that no program always runs first.
        for program in list(commands)[::1 if round_ % 2 else -1]:
            env = program_environment(program, toolkit, environment(case, homes / program, session))
            if case == "portal" and program in PORTAL_PROGRAMS:
                env["GTK_USE_PORTAL"] = "1"
            fields = measure(case, commands[program], build, env, log, mode)
            if round_:
                raw.append({"mode": mode, "case": case, "program": program, "round": round_} | fields)
    if bus:
        # gvfs, the accessibility bus and the portal's services leave with it.
        os.kill(bus, signal.SIGTERM)
    stray = left_behind(data, known)
    if stray:
        print(f"bench/run: {mode}: {CASES[case]}: LEFT BEHIND (now ended): {', '.join(stray)}",
              file=sys.stderr, flush=True)
    return raw, stray


def main():
    build, results, runs, names, build_type, modes, toolkit = sys.argv[1:8]
    before = Path(sys.argv[8]) if len(sys.argv) > 8 and sys.argv[8] else None
    build, results, runs = Path(build), Path(results), int(runs)
    names, modes = names.split(","), modes.split(",")
    if toolkit == "gtk2" and "portal" in names:
        sys.exit("bench/run: the portal case is GTK 3 only: GTK+ 2 has no desktop portal file chooser")
    data = build / "bench-data"
    make_data(data)
    programs = [p for p in PROGRAMS if (p != "before" or before) and (p != "portal" or "portal" in names)]
    for program in programs:
        make_realistic_home(data / "realistic-home" / program, data)
    x_server = x_server_pid()
    print(f"bench/run: {TOOLKITS[toolkit]} build, {runs} rounds of one run per program "
          f"({', '.join(programs)}), modes {', '.join(modes)}", file=sys.stderr)
    raw, strays = [], {}
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
                    runs_of_case, strays[mode, case] = run_case(case, mode, runs, programs, toolkit,
                                                                (build, data, before), log)
                    raw += runs_of_case
            finally:
                for hog in hogs:
                    hog.kill()
                    hog.wait()
    columns = ["mode", "case", "program", "round"] + FIELDS
    (build / "bench-raw.tsv").write_text(
        "".join("\t".join(str(r[k]) for k in columns) + "\n" for r in [dict(zip(columns, columns))] + raw))

    results.mkdir(parents=True, exist_ok=True)
    # The GTK+ 2 results keep their names; the GTK 3 ones have names of their own beside them.
    stem = "bench" if toolkit == "gtk2" else f"bench-{toolkit}"
    no_bus = environment("example", data / "home", None)
    report = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
              "runs_per_program": runs, "build_dir": str(build), "build_type": build_type,
              "toolkit": toolkit, "toolkit_version": package_version(TOOLKIT_PACKAGES[toolkit]),
              "before": str(before) if before else None,
              "floor": f"bench/floor.c on {TOOLKITS[toolkit]}: the smallest {TOOLKITS[toolkit]} save dialog "
                       f"doing the same toolkit work as stashwick; where no session bus is, it "
                       f"{describe_own(toolkit, no_bus)}",
              "zenity": f"zenity {package_version('zenity')} --file-selection --save on GTK 3, "
                        f"the same title, default file and filters (none made active); where no session bus "
                        f"is, it {describe_own('gtk3', no_bus)}",
              "display": "Xvfb 1280x1024x24, no window manager",
              "time": "ms from exec to the dialog window mapped; help case: ms from exec to exit",
              "cpu": "ms of CPU time when the dialog was mapped: main thread, and all threads",
              "memory": "KiB VmHWM 300 ms after the map (bigdir: 2000 ms, once the folder has loaded); "
                        "help case: peak RSS of the run",
              "ratios": "a program's run divided by the other program's run in the same round, median over "
                        "the rounds where both are good; time_interval: distribution-free interval that holds the "
                        "median time ratio with at least 95 % confidence (null below 6 rounds)",
              "left_behind": "processes a case's runs started that still ran once it was over (then ended)",
              "modes": {}}
    for mode in modes:
        cases = []
        for case in names:
            rows = {p: [r for r in raw if r["mode"] == mode and r["case"] == case and r["program"] == p]
                    for p in ["stashwick"] + [p for p in programs if p != "stashwick"]}
            stats = {p: summarize(case, rs) for p, rs in rows.items() if rs}
            cases.append({"case": case, "title": CASES[case], "programs": stats, "ratios": ratios(case, rows),
                          "left_behind": strays[mode, case]})
        print_table(mode, toolkit, cases)
        report["modes"][mode] = {"setting": MODE_NOTES[mode], "limits": LIMITS[toolkit][mode], "cases": cases}
        write_chart(mode, toolkit, cases, runs, build / f"bench-{mode}.gp", results / f"{stem}-{mode}.png")
    environment_note = ENVIRONMENT_NOTE.format(toolkit=TOOLKITS[toolkit], floor_own=describe_own(toolkit, no_bus),
                                               zenity_own=describe_own("gtk3", no_bus))
    print(NOTE.format(toolkit=TOOLKITS[toolkit], environment=textwrap.fill(environment_note, 96),
                      limits=LIMITS_NOTE[toolkit]))
    if "portal" in names:
        print(PORTAL_NOTE.format(desktop=PORTAL_DESKTOP))
        report["portal"] = " ".join(PORTAL_NOTE.format(desktop=PORTAL_DESKTOP).split())
    (results / f"{stem}.json").write_text(json.dumps(report, indent=2) + "\n")
    print(f"bench/run: wrote {results}/{stem}.json, {results}/{stem}-<mode>.png and the raw runs in "
          f"{build}/bench-raw.tsv", file=sys.stderr)


if __name__ == "__main__":
    main()
