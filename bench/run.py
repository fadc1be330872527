#!/usr/bin/env python3
"""Measures nlflip against a plain copy at every size from 4 KiB to 256 MiB.

Usage: bench/run.py [--build build/release] [--windows build/win64]
                    [--baseline DIR] [--sweeps linux,rewrite,windows]
                    [--sizes 4K,64K,1M] [--kinds lf,crlf] [--rounds N]
                    [--realtime] [--out bench/out]

Three sweeps, each over every size (4 KiB to 256 MiB) and every input kind
of bench/make_input.cpp:
  linux    nlflip IN OUT against the floor dd if=IN of=OUT bs=1M; beside
           them unix2dos or dos2unix where they do the same conversion, and
           the literal per-line algorithm on text up to 16 MiB;
  rewrite  nlflip F F, answered y, against the floor bench/durable_copy F F:
           a copy into a new file beside F, written through to the disk and
           renamed over F, the directory written through;
  windows  nlflip.exe IN OUT against the floor bench/copy_win32.exe IN OUT
           (1 MiB ReadFile/WriteFile), both under the same Wine: --windows
           names a build folder of the win32 or win64 preset (--win32 is
           the same option), run by wine or wine64 as the program needs.
By default linux and rewrite run, and windows with --windows.  --baseline
names a second nlflip build folder, timed in the same rounds as the current
one (linux and rewrite), so that a change shows as paired ratios.

Each input is made once, just before, page-cached, and measured by every
sweep in turn.  A round runs the floor and the programs right beside each
other, each round starting one further along, so that each goes first in
turn; every output is deleted (for the rewrite: the file copied afresh from
the input) before each timed run, outside the timing, and nothing is synced
between the runs.  A ratio is the median of the rounds' own ratios, with
their range.  Up to 256 KiB the peers and the literal algorithm take
milliseconds and join the rounds; above, they run after them, their runs
paired with the floor's by round number.  Small files take many rounds: 31
up to 1 MiB, 21 at 4 MiB, 15 at 16 MiB, 11 at 64 MiB, 7 at 256 MiB, unless
--rounds sets one number.  The start-up of the programs (nlflip -usage
against dd --version; nlflip.exe -usage against copy_win32.exe without
arguments) is timed the same way, and the peak RSS of the 4 KiB runs is set
against the start-up's.

Wall time is taken around each run, system and user time and faults come
from wait4() (to the microsecond, where GNU time prints hundredths), and the
peak RSS from one run under GNU time before the rounds (a program started
by this Python process would report Python's high-water mark, which Linux
carries across exec); that run also checks that each contestant writes
nlflip's bytes.  --realtime runs the rounds at real-time priority (SCHED_FIFO
10, as root), and Wine's server too, unless one runs already.

Writes results.md (Markdown tables), results.dat and ratio.svg (a gnuplot
chart of the ratio to the floor by size, when gnuplot is installed) to the
output folder: bench/out, which git ignores, unless --out names another.
The committed figures are refreshed on purpose with --out bench/results.
"""
import argparse
import atexit
import dataclasses
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, NamedTuple

KIB = 1 << 10
MIB = 1 << 20
SIZES = [4 * KIB, 64 * KIB, 256 * KIB, 1 * MIB, 4 * MIB, 16 * MIB, 64 * MIB, 256 * MIB]
KINDS = ["lf", "crlf", "ragged", "ragged-crlf", "cr", "long", "binary", "mixed", "utf16"]
# The peer converter doing the same job as nlflip on a kind, where one does.
PEERS = {"lf": "unix2dos", "crlf": "dos2unix", "ragged": "unix2dos",
         "ragged-crlf": "dos2unix", "long": "unix2dos"}
# The literal algorithm ends a line at the first NUL: text kinds only.  It
# needs seconds per 16 MiB; larger inputs would take minutes.
LITERAL_KINDS = {"lf", "crlf", "ragged", "ragged-crlf", "cr", "long"}
LITERAL_LIMIT = 16 * MIB
# Up to this size the peers and the literal algorithm take milliseconds, so
# they can run in the rounds beside nlflip.
PAIRED_SLOW_LIMIT = 256 * KIB
SWEEPS = ["linux", "rewrite", "windows"]
STARTUP = "start-up"
GNU_TIME = "/usr/bin/time"

# Set by --realtime: the scheduling policy of the rounds' runs.
REALTIME = None


def default_rounds(size):
    """Many rounds for small files, whose runs take milliseconds."""
    if size <= 1 * MIB:
        return 31
    return {4 * MIB: 21, 16 * MIB: 15, 64 * MIB: 11}.get(size, 7)


class Sample(NamedTuple):
    seconds: float
    system: float
    user: float
    major_faults: int
    minor_faults: int


@dataclasses.dataclass(frozen=True)
class Contestant:
    label: str
    # {i} and {o} stand for the input and the output, {wi} and {wo} for the
    # same files as Wine names them.
    command: list
    role: str  # floor, program, baseline, peer or literal
    stdin: str = os.devnull
    exit_codes: tuple = (0,)


@dataclasses.dataclass(frozen=True)
class Files:
    source: str
    target: str
    same_file: bool

    def reset(self):
        """Deletes the output; a rewrite starts from a new copy of the input
        (not a truncated file: ext4 writes that back as soon as it is closed)."""
        if os.path.exists(self.target):
            os.remove(self.target)
        if self.same_file:
            shutil.copyfile(self.source, self.target)


@dataclasses.dataclass
class Sweep:
    name: str
    title: str
    floor: Contestant
    programs: list
    same_file: bool = False
    startup: list = dataclasses.field(default_factory=list)
    # The slow contestants of a size and kind.
    slow: Callable = lambda size, kind: []


def size_label(size):
    return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB"


def parse_size(text):
    units = {"K": KIB, "M": MIB}
    if text[-1:].upper() in units:
        return int(text[:-1]) * units[text[-1].upper()]
    return int(text)


def wine_path(path):
    """A host path as Wine's Windows programs name it: Z: is the root."""
    return "Z:" + path


def expand(template, files):
    return [part.format(i=files.source, o=files.target, wi=wine_path(files.source),
                        wo=wine_path(files.target)) for part in template]


def check_exit(contestant, code, errors):
    if code not in contestant.exit_codes:
        sys.exit(f"{contestant.label} failed ({code}): {errors}")


def spawn(argv, stdin, errors, scheduler=None):
    """Runs argv; returns its exit code, wall seconds and wait4()'s usage."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, stdin, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, errors, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    # posix_spawnp() takes no scheduler=None.
    policy = {"scheduler": scheduler} if scheduler else {}
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions, **policy)
    _, status, usage = os.wait4(pid, 0)
    return os.waitstatus_to_exitcode(status), time.perf_counter() - start, usage


def timed(contestant, files, work, scheduler):
    files.reset()
    errors = os.path.join(work, "errors")
    code, seconds, usage = spawn(expand(contestant.command, files), contestant.stdin, errors,
                                 scheduler)
    if code not in contestant.exit_codes:
        with open(errors, errors="replace") as f:
            check_exit(contestant, code, f.read())
    return Sample(seconds, usage.ru_stime, usage.ru_utime, usage.ru_majflt, usage.ru_minflt)


def peak_memory(contestant, files, work):
    """Peak RSS in bytes, by GNU time, whose own few pages are all that its
    child inherits."""
    files.reset()
    report = os.path.join(work, "time")
    with open(contestant.stdin, "rb") as stdin:
        done = subprocess.run([GNU_TIME, "-f", "%M", "-o", report] +
                              expand(contestant.command, files),
                              stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    check_exit(contestant, done.returncode, done.stderr.decode(errors="replace"))
    with open(report) as f:
        return int(f.read().split()[-1]) * 1024


def run_rounds(group, rounds, run):
    """Runs the group right beside each other, round after round, each round
    starting one further along so that each goes first in turn."""
    samples = {c.label: [] for c in group}
    for number in range(rounds):
        start = number % len(group)
        for contestant in group[start:] + group[:start]:
            samples[contestant.label].append(run(contestant))
    return samples


def paired(runs, reference):
    """Median and range of the ratios of runs to the reference's of the same rounds."""
    ratios = [run.seconds / other.seconds for run, other in zip(runs, reference)]
    return statistics.median(ratios), min(ratios), max(ratios)


def case_rows(sweep_name, floor_label, size, kind, contestants, samples, memory):
    floor = samples[floor_label]
    by_role = {c.role: c.label for c in contestants}
    rows = []
    for contestant in contestants:
        runs = samples[contestant.label]
        row = {"sweep": sweep_name, "size": size, "kind": kind, "label": contestant.label,
               "role": contestant.role, "x floor": paired(runs, floor),
               "rss": memory[contestant.label]}
        for field in ("seconds", "major_faults", "minor_faults"):
            row[field] = statistics.median(getattr(run, field) for run in runs)
        # Means: the kernel splits a run's CPU time between system and user
        # by timer ticks, all or nothing for a run of a few milliseconds.
        for field in ("system", "user"):
            row[field] = statistics.fmean(getattr(run, field) for run in runs)
        if contestant.role in ("program", "baseline") and "peer" in by_role:
            row["x peer"] = paired(runs, samples[by_role["peer"]])
        if contestant.role == "program" and "baseline" in by_role:
            row["x baseline"] = paired(runs, samples[by_role["baseline"]])
        rows.append(row)
    return rows


def same_bytes(first, second):
    return subprocess.run(["cmp", "-s", first, second]).returncode == 0


def make_input(args, size, kind, work):
    """The input of a size and kind, and nlflip's output of it, which every
    contestant must write."""
    source, reference = os.path.join(work, "in"), os.path.join(work, "reference")
    subprocess.run([os.path.join(args.build, "bench", "make_input"), kind, str(size), source],
                   check=True)
    subprocess.run([os.path.join(args.build, "nlflip"), source, reference], check=True,
                   stdin=subprocess.DEVNULL)
    return source, reference


def measure_case(args, sweep, size, kind, source, reference, work):
    """Rows of one size and kind: each contestant's peak RSS and check, then the rounds."""
    files = Files(source, os.path.join(work, "out"), sweep.same_file)
    slow = sweep.slow(size, kind)
    group = [sweep.floor] + sweep.programs + (slow if size <= PAIRED_SLOW_LIMIT else [])
    after = [c for c in slow if c not in group]
    memory = {}
    for contestant in group + after:
        memory[contestant.label] = peak_memory(contestant, files, work)
        if contestant is not sweep.floor and not same_bytes(files.target, reference):
            sys.exit(f"{contestant.label} and nlflip disagree on {kind} {size_label(size)}")
    # The write-back of the new input and of the checks must not fall into
    # the rounds; the rounds themselves run without any sync.
    os.sync()
    rounds = args.rounds or default_rounds(size)
    samples = run_rounds(group, rounds, lambda c: timed(c, files, work, REALTIME))
    # The slow ones would hold the processors for seconds: ordinary priority.
    for contestant in after:
        samples[contestant.label] = [timed(contestant, files, work, None) for _ in range(rounds)]
    if os.path.exists(files.target):
        os.remove(files.target)
    return case_rows(sweep.name, sweep.floor.label, size, kind, group + after, samples, memory)


def measure_startup(args, sweep, work):
    files = Files(os.devnull, os.path.join(work, "out"), False)
    memory = {c.label: peak_memory(c, files, work) for c in sweep.startup}
    rounds = args.rounds or default_rounds(0)
    samples = run_rounds(sweep.startup, rounds, lambda c: timed(c, files, work, REALTIME))
    return case_rows(sweep.name, sweep.startup[0].label, 0, STARTUP, sweep.startup, samples,
                     memory)


def measure(args, sweeps, work):
    """The rows of every sweep: start-up first, then each input, made once
    for all sweeps."""
    rows = []
    for sweep in sweeps:
        if sweep.startup:
            rows += measure_startup(args, sweep, work)
    for size in args.sizes:
        for kind in args.kinds:
            source, reference = make_input(args, size, kind, work)
            for sweep in sweeps:
                case = measure_case(args, sweep, size, kind, source, reference, work)
                rows += case
                program = next(r for r in case if r["role"] == "program")
                print(f"{sweep.name} {size_label(size)} {kind}: "
                      f"nlflip x{program['x floor'][0]:.2f}", file=sys.stderr)
            os.remove(source)
            os.remove(reference)
    return rows


def nlflip_contestants(args, arguments, stdin=os.devnull, exit_codes=(0,), label_suffix=""):
    """The current nlflip, and the baseline build when there is one."""
    builds = [("nlflip", "program", args.build)]
    if args.baseline:
        builds.append(("nlflip baseline", "baseline", args.baseline))
    return [Contestant(label + label_suffix, [os.path.join(folder, "nlflip")] + arguments, role,
                       stdin, exit_codes) for label, role, folder in builds]


def linux_slow(args, size, kind):
    slow = []
    peer = PEERS.get(kind)
    if peer and shutil.which(peer):
        slow.append(Contestant(peer, [peer, "-q", "-n", "{i}", "{o}"], "peer"))
    if kind in LITERAL_KINDS and size <= LITERAL_LIMIT:
        slow.append(Contestant("literal per-line",
                               [os.path.join(args.build, "bench", "literal"), "{i}", "{o}"],
                               "literal"))
    return slow


def linux_sweep(args):
    return Sweep(
        "linux", "Linux: nlflip IN OUT against dd bs=1M",
        Contestant("dd bs=1M", ["dd", "if={i}", "of={o}", "bs=1M", "status=none"], "floor"),
        nlflip_contestants(args, ["{i}", "{o}"]),
        startup=[Contestant("dd --version", ["dd", "--version"], "floor")] +
        nlflip_contestants(args, ["-usage"], exit_codes=(1,), label_suffix=" -usage"),
        slow=lambda size, kind: linux_slow(args, size, kind))


def rewrite_sweep(args, work):
    answer = os.path.join(work, "answer")
    with open(answer, "w") as f:
        f.write("y\n")
    floor = os.path.join(args.build, "bench", "durable_copy")
    return Sweep(
        "rewrite", "Same-file rewrite: nlflip F F, answered y, against a durable replace",
        Contestant("durable copy", [floor, "{o}", "{o}"], "floor"),
        nlflip_contestants(args, ["{o}", "{o}"], stdin=answer), same_file=True)


def windows_sweep(args, wine):
    floor = os.path.join(args.windows, "bench", "copy_win32.exe")
    program = os.path.join(args.windows, "nlflip.exe")
    return Sweep(
        "windows",
        f"Windows: nlflip.exe IN OUT against copy_win32.exe, under {os.path.basename(wine)}",
        Contestant("copy_win32.exe", [wine, floor, "{wi}", "{wo}"], "floor"),
        [Contestant("nlflip.exe", [wine, program, "{wi}", "{wo}"], "program")],
        startup=[Contestant("copy_win32.exe (usage)", [wine, floor], "floor", exit_codes=(2,)),
                 Contestant("nlflip.exe -usage", [wine, program, "-usage"], "program",
                            exit_codes=(1,))])


def is_64bit_windows_program(path):
    with open(path, "rb") as f:
        header = f.read(4096)
    pe = int.from_bytes(header[0x3C:0x40], "little")
    return header[pe:pe + 6] == b"PE\0\0\x64\x86"


def wine_launcher(program):
    """The Wine loader that runs the program, or None: a 64-bit program needs
    wine64, which Debian keeps in /usr/lib/wine; `wine` runs 32-bit ones."""
    names = ["wine64", "/usr/lib/wine/wine64", "wine"] if is_64bit_windows_program(program) \
        else ["wine"]
    for name in names:
        path = shutil.which(name)
        if path and subprocess.run([path, "--version"], capture_output=True).returncode == 0:
            return path
    return None


def prepare_wine(args, wine):
    """Wine's prefix of the Windows build, and one server kept for all runs."""
    os.environ.setdefault("WINEPREFIX", os.path.abspath(os.path.join(args.windows, "wineprefix")))
    os.environ["WINEDEBUG"] = "-all"
    os.makedirs(os.environ["WINEPREFIX"], exist_ok=True)
    # A server that ends a minute after its last client would start again in
    # the middle of a timed run after a long Linux round, so it is kept until
    # the benchmark ends. An exit code of 2 means that one runs already, which
    # serves as well and is left running.
    server = os.path.join(os.path.dirname(os.path.realpath(wine)), "wineserver")
    server = server if os.path.exists(server) else "wineserver"
    started, _, _ = spawn([server, "-p"], os.devnull, os.devnull, REALTIME)
    if started == 0:
        atexit.register(spawn, [server, "-k"], os.devnull, os.devnull)
    subprocess.run([wine, "wineboot", "-i"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def windows_or_none(args, notes):
    """The Windows sweep, or None with a note why it cannot run here."""
    program = os.path.join(args.windows, "nlflip.exe")
    if not os.path.exists(program):
        notes.append(f"Windows sweep skipped: no {program}")
        return None
    wine = wine_launcher(program)
    if wine is None:
        bits = "64" if is_64bit_windows_program(program) else "32"
        notes.append(f"Windows sweep skipped: no Wine here runs {bits}-bit programs")
        return None
    prepare_wine(args, wine)
    return windows_sweep(args, wine)


def build_sweeps(args, work, notes):
    sweeps = []
    if "linux" in args.sweeps:
        sweeps.append(linux_sweep(args))
        if not shutil.which("unix2dos"):
            notes.append("dos2unix package not installed: no peers")
    if "rewrite" in args.sweeps:
        sweeps.append(rewrite_sweep(args, work))
    if "windows" in args.sweeps:
        sweeps.append(windows_or_none(args, notes))
    return [s for s in sweeps if s]


def ratio_cell(ratio):
    return f"{ratio[0]:.2f}" if ratio else "-"


def range_cell(ratio):
    return f"{ratio[1]:.2f}-{ratio[2]:.2f}" if ratio else "-"


def milliseconds(seconds):
    ms = seconds * 1000
    return f"{ms:.2f}" if ms < 10 else f"{ms:.1f}" if ms < 100 else f"{ms:.0f}"


def detail_table(rows):
    lines = ["| size | kind | contestant | ms | x floor | range | x peer | x baseline | "
             "minor faults | major faults | sys ms (mean) | user ms (mean) | peak RSS MiB |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        size = size_label(row["size"]) if row["size"] else "-"
        lines.append(
            f"| {size} | {row['kind']} | {row['label']} | {milliseconds(row['seconds'])} | "
            f"{ratio_cell(row['x floor'])} | {range_cell(row['x floor'])} | "
            f"{ratio_cell(row.get('x peer'))} | {ratio_cell(row.get('x baseline'))} | "
            f"{row['minor_faults']:.0f} | {row['major_faults']:.0f} | "
            f"{row['system'] * 1000:.2f} | {row['user'] * 1000:.2f} | {row['rss'] / MIB:.2f} |")
    return lines


def matrix(rows, field, title):
    """A size by kind table of the program's median ratio."""
    kinds = list(dict.fromkeys(r["kind"] for r in rows))
    sizes = list(dict.fromkeys(r["size"] for r in rows))
    cells = {(r["size"], r["kind"]): r[field] for r in rows if r["role"] == "program"}
    lines = [f"{title}:", "", "| size | " + " | ".join(kinds) + " |",
             "|---|" + "---:|" * len(kinds)]
    for size in sizes:
        lines.append(f"| {size_label(size)} | " +
                     " | ".join(ratio_cell(cells.get((size, kind))) for kind in kinds) + " |")
    return lines + [""]


def memory_line(rows):
    """The peak memory of the 4 KiB runs above the program's own start-up."""
    startup = next((r for r in rows if r["kind"] == STARTUP and r["role"] == "program"), None)
    small = [r["rss"] for r in rows if r["size"] == 4 * KIB and r["role"] == "program"]
    if not startup or not small:
        return []
    return [f"Peak RSS at 4 KiB: {max(small) / MIB:.2f} MiB (largest over the kinds), "
            f"{(max(small) - startup['rss']) / MIB:.2f} MiB above the start-up's "
            f"{startup['rss'] / MIB:.2f} MiB ({startup['label']}).", ""]


def sweep_report(sweep, rows):
    startup = [r for r in rows if r["kind"] == STARTUP]
    cases = [r for r in rows if r["kind"] != STARTUP]
    lines = [f"## {sweep.title}", ""]
    if startup:
        lines += ["Start-up:", ""] + detail_table(startup) + [""]
    lines += memory_line(rows)
    if cases:
        lines += matrix(cases, "x floor", "Ratio to the floor (median of the rounds)")
        if any("x baseline" in r for r in cases):
            lines += matrix(cases, "x baseline", "Ratio to the baseline build (median)")
        lines += detail_table(cases)
    return "\n".join(lines) + "\n"


def chart_lines(rows):
    """The rows of each program (sweep and role) and kind, by size."""
    lines = {}
    for row in sorted(rows, key=lambda r: r["size"]):
        if row["role"] in ("program", "baseline") and row["kind"] != STARTUP:
            lines.setdefault((row["sweep"], row["role"], row["kind"]), []).append(row)
    return lines


def chart(sweeps, rows, out, notes):
    """results.dat, a block per program and kind, and ratio.svg drawn from it:
    a panel per sweep, the colour telling the kind, dashes the baseline."""
    lines = chart_lines(rows)
    data = os.path.join(out, "results.dat")
    with open(data, "w") as f:
        f.write("# size_bytes ratio_to_floor low high median_ms, a block per line\n")
        for (sweep, _, kind), line in lines.items():
            f.write(f"\n\n# {sweep} {line[0]['label']}, {kind}\n")
            for row in line:
                median, low, high = row["x floor"]
                f.write(f"{row['size']} {median:.4f} {low:.4f} {high:.4f} "
                        f"{row['seconds'] * 1000:.4f}\n")
    if not lines:
        return
    if not shutil.which("gnuplot"):
        notes.append("gnuplot not found: no chart")
        return
    kinds = list(dict.fromkeys(kind for _, _, kind in lines))
    panels = []
    for sweep in sweeps:
        # A kind keeps its colour; the baseline's lines are dashed and share
        # one entry of the key, which would not fit beside the panel otherwise.
        plots = [f"'{data}' index {index} using 1:2 with linespoints lc {kinds.index(kind) + 1} "
                 f"dt {1 if role == 'program' else 2} pt 7 ps 0.5 "
                 f"{'notitle' if role == 'baseline' else f'title {kind!r}'}"
                 for index, (name, role, kind) in enumerate(lines) if name == sweep.name]
        if any(role == "baseline" for name, role, _ in lines if name == sweep.name):
            plots.append("NaN with lines dt 2 lc 'black' title 'baseline (dashed)'")
        if plots:
            panels.append(f"set title '{sweep.title}'\nplot {', '.join(plots)}")
    sizes = [r["size"] for r in rows if r["size"]]
    tics = ", ".join(f"'{size_label(size)}' {size}" for size in SIZES)
    script = f"""
set terminal svg size 1000,{360 * len(panels)} dynamic font 'sans,11' noenhanced
set output '{os.path.join(out, "ratio.svg")}'
set lmargin at screen 0.08
set rmargin at screen 0.82
set logscale x 2
set xrange [{min(sizes) / 1.5}:{max(sizes) * 1.5}]
set xtics ({tics})
set xlabel 'input size'
set ylabel 'time / floor time (median)'
set yrange [0:*]
set grid
set key outside right top
set multiplot layout {len(panels)},1
{chr(10).join(panels)}
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


def first_line(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError:
        return "?"
    text = done.stdout or done.stderr
    return text.splitlines()[0] if text else "?"


def machine(args, sweeps):
    model = "?"
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), model)
    rounds = args.rounds or "31 up to 1 MiB, 21 at 4 MiB, 15 at 16 MiB, 11 at 64 MiB, 7 at 256 MiB"
    lines = [f"Machine: {platform.machine()} ({model}), {os.cpu_count()} cores, "
             f"Linux {platform.release()}, {datetime.date.today().isoformat()}, "
             f"rounds: {rounds}{', real-time priority' if args.realtime else ''}, "
             f"load average before {os.getloadavg()[0]:.2f}",
             f"compiler: {first_line(['c++', '--version'])}"]
    windows = next((s for s in sweeps if s.name == "windows"), None)
    if windows:
        wine = windows.floor.command[0]
        wide = is_64bit_windows_program(os.path.join(args.windows, "nlflip.exe"))
        compiler = f"{'x86_64' if wide else 'i686'}-w64-mingw32-g++-posix"
        lines.append(f"Windows: the {64 if wide else 32}-bit program, "
                     f"{first_line([compiler, '--version'])}, {os.path.basename(wine)} "
                     f"{first_line([wine, '--version'])}")
    if args.baseline:
        lines.append(f"baseline: a second nlflip build, {version_of(args.baseline)}")
    return lines


def version_of(build):
    """The version line of a build's usage text."""
    done = subprocess.run([os.path.join(build, "nlflip"), "-usage"], capture_output=True)
    text = (done.stdout + done.stderr).decode(errors="replace")
    return next((l.strip() for l in text.splitlines() if l.startswith("Version:")), "?")


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--windows", "--win32",
                        help="build folder of nlflip.exe (win32 or win64 preset), run under Wine")
    parser.add_argument("--baseline", help="a second nlflip build folder, timed in the same rounds")
    parser.add_argument("--sweeps", type=lambda s: s.split(","),
                        help=f"comma-separated, of {','.join(SWEEPS)}; "
                             "default linux,rewrite and windows with --windows")
    parser.add_argument("--sizes", type=lambda s: [parse_size(p) for p in s.split(",")],
                        default=SIZES, help="comma-separated, as 4K or 16M; all by default")
    parser.add_argument("--kinds", type=lambda s: s.split(","), default=KINDS,
                        help="comma-separated input kinds; all by default")
    parser.add_argument("--rounds", type=int, help="rounds at every size (default by size)")
    parser.add_argument("--realtime", action="store_true",
                        help="run the rounds at real-time priority (SCHED_FIFO 10, as root)")
    parser.add_argument("--out", default="bench/out")
    args = parser.parse_args()
    if args.sweeps is None:
        args.sweeps = ["linux", "rewrite"] + (["windows"] if args.windows else [])
    unknown = (set(args.sweeps) - set(SWEEPS)) | (set(args.kinds) - set(KINDS))
    if unknown:
        parser.error(f"unknown: {', '.join(sorted(unknown))}")
    if "windows" in args.sweeps and not args.windows:
        parser.error("the windows sweep needs --windows BUILD_FOLDER")
    return args


def main():
    global REALTIME
    args = arguments()
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit(f"GNU time ({GNU_TIME}) is needed for the peak RSS")
    if args.realtime:
        REALTIME = (os.SCHED_FIFO, os.sched_param(10))
    os.makedirs(args.out, exist_ok=True)
    started = time.monotonic()
    notes = []
    with tempfile.TemporaryDirectory(prefix="nlflip-bench-") as work:
        sweeps = build_sweeps(args, work, notes)
        header = machine(args, sweeps)
        rows = measure(args, sweeps, work)
    reports = [sweep_report(s, [r for r in rows if r["sweep"] == s.name]) for s in sweeps]
    chart(sweeps, rows, args.out, notes)
    header[0] += (f", after {os.getloadavg()[0]:.2f}; "
                  f"the run took {(time.monotonic() - started) / 60:.1f} minutes")
    report = "".join(f"{line}\n\n" for line in header + notes) + "\n".join(reports)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(report)
    print(report)


if __name__ == "__main__":
    main()
