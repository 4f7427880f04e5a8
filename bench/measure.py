#!/usr/bin/python3
"""Runs the benchmark suite's programs, interleaved round by round, and
prints one Markdown table: each figure a median with its spread (10th to
90th percentile), each comparison a ratio of medians from the same run.

  measure.py <build folder> <scratch folder> [rounds [display at 96 dpi [display at 192 dpi]]]

With VYR_BENCH_OLD_BUILD set to the Release build folder of an earlier tree
(built with the same store root), the nine-certificate run and the
command-line program's --check and repeated --install are also timed for it,
interleaved with this build's.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

build, scratch = sys.argv[1], sys.argv[2]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 21
bench = os.path.join(build, "bench")
app = os.path.join(build, "app", "vyr-cert-installer")
cli = os.path.join(build, "cli", "vyr-cert-installer-cli")
stores = os.path.join(scratch, "stores")
temp = os.path.join(scratch, "tmp")
os.makedirs(temp, exist_ok=True)
env = dict(os.environ, TMPDIR=temp, QT_QPA_PLATFORM="offscreen")
env.pop("DISPLAY", None)
rows = []
old_build = os.environ.get("VYR_BENCH_OLD_BUILD")
old_cli = os.path.join(old_build, "cli", "vyr-cert-installer-cli") if old_build else None


def process(command, environment=env):
    """Wall time in ms, peak memory in MiB and standard output of one process."""
    start = time.perf_counter()
    child = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    wall = (time.perf_counter() - start) * 1000
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        sys.exit(f"{command} failed")
    return wall, usage.ru_maxrss / 1024, out.decode().strip()


def interleaved(contenders, count=rounds):
    """contenders: name -> function returning one figure; figures per name."""
    figures = {name: [] for name in contenders}
    for i in range(count):
        names = list(contenders)
        for name in names[i % len(names):] + names[:i % len(names)]:
            figures[name].append(contenders[name]())
    return figures


def summary(values, unit):
    ordered = sorted(values)
    low = ordered[len(ordered) // 10]
    high = ordered[(len(ordered) * 9) // 10 - (1 if len(ordered) % 10 == 0 else 0)]
    return f"{statistics.median(values):.2f} {unit} ({low:.2f} to {high:.2f})"


def row(what, figures, unit, base=None, base_figures=None, goal=""):
    ratio = ""
    if base_figures is not None:
        ratio = f"{statistics.median(figures) / statistics.median(base_figures):.2f}x {base}"
    rows.append((what, summary(figures, unit), ratio, goal))


def startup(platform_env, label):
    runs = interleaved({
        "app": lambda: process([os.path.join(bench, "bench_startup_app")], platform_env)[:2],
        "bare": lambda: process([os.path.join(bench, "bench_startup_bare")], platform_env)[:2],
    })
    app_ms = [w for w, _ in runs["app"]]
    bare_ms = [w for w, _ in runs["bare"]]
    row(f"start-up to first expose, {label}: bare window", bare_ms, "ms")
    row(f"start-up to first expose, {label}: the window", app_ms, "ms", "the bare window", bare_ms,
        "within 1.05x under X")
    row(f"peak memory, {label}: bare window", [m for _, m in runs["bare"]], "MiB")
    row(f"peak memory, {label}: the window", [m for _, m in runs["app"]], "MiB", "the bare window",
        [m for _, m in runs["bare"]])


def in_process_us(command):
    return float(process(command)[2]) / 1000


def nine_certificates():
    contenders = {
        "floor": lambda: in_process_us([os.path.join(bench, "bench_floor"), stores, temp]),
        "first": lambda: in_process_us([os.path.join(bench, "bench_run"), "first"]),
        "repeat": lambda: in_process_us([os.path.join(bench, "bench_run"), "repeat"]),
    }
    if old_build:
        old_run = os.path.join(old_build, "bench", "bench_run")
        contenders["old first"] = lambda: in_process_us([old_run, "first"])
        contenders["old repeat"] = lambda: in_process_us([old_run, "repeat"])
    runs = interleaved(contenders)
    row("nine-certificate run: the floor", runs["floor"], "ms")
    row("nine-certificate run: first", runs["first"], "ms", "the floor", runs["floor"], "within 2x (aim 1.5x)")
    row("nine-certificate run: repeat", runs["repeat"], "ms", "the floor", runs["floor"], "no slower than the floor")
    if old_build:
        row("nine-certificate run: first, the earlier build", runs["old first"], "ms")
        row("nine-certificate run: first, this build", runs["first"], "ms", "the earlier build", runs["old first"],
            "within 1.05x")
        row("nine-certificate run: repeat, the earlier build", runs["old repeat"], "ms")
        row("nine-certificate run: repeat, this build", runs["repeat"], "ms", "the earlier build", runs["old repeat"],
            "within 1.05x")


def scaling():
    certificates = os.path.join(scratch, "bulk")
    if not os.path.exists(os.path.join(certificates, "cert10099.pem")):
        shutil.rmtree(certificates, ignore_errors=True)
        os.makedirs(certificates)
        subprocess.run([os.path.join(bench, "bench_store"), "make", certificates, "10100"], check=True)
    batch = 100
    for size in (1, 100, 1000, 10000):
        added = min(size, batch)
        ours, peers_openssl, peers_debian = [], [], []
        # The peers take minutes at the larger sizes: fewer repetitions there.
        for _ in range(3 if size <= 100 else 1):
            shutil.rmtree(os.path.join(stores, "BENCH"), ignore_errors=True)
            if size > added:
                process([os.path.join(bench, "bench_store"), "add", "BENCH", certificates, str(added), str(size)])
            ours.append(float(process([os.path.join(bench, "bench_store"), "add", "BENCH", certificates, "0",
                                       str(added)])[2]) / 1000 / added)
            # The openssl workflow: each new file converted, then the folder rehashed.
            folder = os.path.join(scratch, "openssl-capath")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            for i in range(added, size):
                shutil.copy(os.path.join(certificates, f"cert{i}.pem"), folder)
            subprocess.run(["openssl", "rehash", folder], check=True, capture_output=True)
            start = time.perf_counter()
            for i in range(added):
                subprocess.run(["openssl", "x509", "-inform", "DER", "-in", os.path.join(certificates, f"cert{i}.der"),
                                "-out", os.path.join(folder, f"cert{i}.pem")], check=True)
            subprocess.run(["openssl", "rehash", folder], check=True, capture_output=True)
            peers_openssl.append((time.perf_counter() - start) * 1000 / added)
            # Debian's tool, pointed at scratch folders.
            base = os.path.join(scratch, "debian")
            shutil.rmtree(base, ignore_errors=True)
            for sub in ("share", "local", "etc", "hooks"):
                os.makedirs(os.path.join(base, sub))
            open(os.path.join(base, "conf"), "w").close()
            for i in range(added, size):
                shutil.copy(os.path.join(certificates, f"cert{i}.pem"), os.path.join(base, "local", f"cert{i}.crt"))
            tool = ["update-ca-certificates", "--certsconf", os.path.join(base, "conf"), "--certsdir",
                    os.path.join(base, "share"), "--localcertsdir", os.path.join(base, "local"), "--etccertsdir",
                    os.path.join(base, "etc"), "--hooksdir", os.path.join(base, "hooks"), "--certbundle",
                    "bundle.crt"]
            subprocess.run(tool, check=True, capture_output=True)
            start = time.perf_counter()
            for i in range(added):
                shutil.copy(os.path.join(certificates, f"cert{i}.pem"), os.path.join(base, "local", f"cert{i}.crt"))
            subprocess.run(tool, check=True, capture_output=True)
            peers_debian.append((time.perf_counter() - start) * 1000 / added)
        row(f"per certificate, {added} added to a store of {size - added}: ours", ours, "ms")
        row(f"per certificate, {added} added to a store of {size - added}: openssl x509 + rehash", peers_openssl,
            "ms", "ours", ours, "25x ours at 1,000")
        row(f"per certificate, {added} added to a store of {size - added}: update-ca-certificates", peers_debian,
            "ms", "ours", ours, "4x ours at 1,000")


def verbs():
    core = [os.path.join(bench, "bench_bare_core")]
    contenders = {
        "core": lambda: process(core)[0],
        "core crypto": lambda: process([os.path.join(bench, "bench_bare_core_crypto")])[0],
        "check": lambda: process([app, "--check"])[0],
        "install": lambda: process([app, "--install"])[0],
        "cli check": lambda: process([cli, "--check"])[0],
        "cli install": lambda: process([cli, "--install"])[0],
        "floor": lambda: in_process_us([os.path.join(bench, "bench_floor"), stores, temp]),
    }
    if old_build:
        contenders["old cli check"] = lambda: process([old_cli, "--check"])[0]
        contenders["old cli install"] = lambda: process([old_cli, "--install"])[0]
    runs = interleaved(contenders)
    floor = [c + f for c, f in zip(runs["core"], runs["floor"])]
    row("whole process: bare QCoreApplication", runs["core"], "ms")
    row("whole process: --check", runs["check"], "ms", "the bare process", runs["core"], "within 1.5x")
    row("whole process: vyr-cert-installer-cli --check", runs["cli check"], "ms", "the bare process", runs["core"],
        "within 1.2x")
    row("whole process: bare QCoreApplication with libcrypto", runs["core crypto"], "ms", "the bare process",
        runs["core"])
    row("whole process: vyr-cert-installer-cli --check", runs["cli check"], "ms", "the bare process with libcrypto",
        runs["core crypto"])
    row("whole process: bare process + the floor of nine", floor, "ms")
    row("whole process: --install", runs["install"], "ms", "bare process + floor", floor, "within 1.5x")
    row("whole process: vyr-cert-installer-cli --install", runs["cli install"], "ms", "bare process + floor", floor,
        "within 1.2x")
    # After the first round every --install finds all nine in place.
    row("whole process: vyr-cert-installer-cli --install, repeat", runs["cli install"][1:], "ms",
        "vyr-cert-installer-cli --check", runs["cli check"][1:], "within 2x")
    if old_build:
        row("whole process: vyr-cert-installer-cli --check, the earlier build", runs["old cli check"], "ms")
        row("whole process: vyr-cert-installer-cli --check, this build", runs["cli check"], "ms", "the earlier build",
            runs["old cli check"], "within 1.05x")
        row("whole process: vyr-cert-installer-cli --install, repeat, the earlier build", runs["old cli install"][1:],
            "ms")
        row("whole process: vyr-cert-installer-cli --install, repeat, this build", runs["cli install"][1:], "ms",
            "the earlier build", runs["old cli install"][1:], "within 1.05x")
    repeat_writes()


def repeat_writes():
    """What a repeated --install writes to the stores and the record: files
    opened for writing, renames, links, removals and syncs, as strace sees
    them (the copies and the lock in the temporary folder are the run's own)."""
    if not shutil.which("strace"):
        return
    ours = (stores + "/", os.path.join(os.path.dirname(stores), "record.json"))
    process([cli, "--install"])
    trace = os.path.join(scratch, "repeat.strace")
    subprocess.run(["strace", "-f", "-o", trace, "-e",
                    "trace=openat,close,rename,renameat,renameat2,link,linkat,symlink,symlinkat,unlink,unlinkat,"
                    "fsync,fdatasync,mkdir,mkdirat", cli, "--install"], env=env, capture_output=True, check=True)
    writes = syncs = 0
    files = {}  # (pid, descriptor) -> path
    with open(trace) as lines:
        for line in lines:
            pid, call = line.split(" ", 1)
            call = call.strip()
            opened = re.match(r'openat\(\w+, "([^"]*)", ([^,)]*).*\) = (\d+)$', call)
            synced = re.match(r"f(?:data)?sync\((\d+)\)", call)
            if opened:
                files[(pid, opened.group(3))] = opened.group(1)
                writes += opened.group(1).startswith(ours) and bool(re.search("O_WRONLY|O_RDWR|O_CREAT", opened.group(2)))
            elif call.startswith("close("):
                files.pop((pid, call[6:call.index(")")]), None)
            elif synced:
                syncs += files.get((pid, synced.group(1)), "").startswith(ours)
            elif "= -1" not in call and any(path in call for path in ours):
                writes += 1
    rows.append(("vyr-cert-installer-cli --install, repeat: the stores and the record",
                 f"{writes} writes, {syncs} syncs", "", "0 writes, 0 syncs"))


startup(env, "offscreen")
if shutil.which("Xvfb") and len(sys.argv) > 4:
    startup(dict(env, QT_QPA_PLATFORM="xcb", DISPLAY=sys.argv[4], QT_XCB_GL_INTEGRATION="none"), "Xvfb")
    if len(sys.argv) > 5:
        startup(dict(env, QT_QPA_PLATFORM="xcb", DISPLAY=sys.argv[5], QT_XCB_GL_INTEGRATION="none"),
                "Xvfb at 200 %")
nine_certificates()
verbs()
scaling()

exe = os.path.join(os.path.dirname(os.path.abspath(build)), "build-windows", "release", "vyr-cert-installer.exe")
if os.path.exists(exe):
    rows.append(("the Windows program, vyr-cert-installer.exe", f"{os.path.getsize(exe):,} bytes", "",
                 "at most 10,000,000 bytes"))
    # A whole process under Wine (its server kept running), against an
    # earlier build given in VYR_BENCH_OLD_EXE: what a start-up script pays.
    old = os.environ.get("VYR_BENCH_OLD_EXE")
    wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
    if old and os.path.exists(wine):
        wine_env = dict(env, WINEPREFIX=os.path.join(scratch, "wineprefix"), WINEDEBUG="-all")
        subprocess.run([wine, "wineboot", "--init"], env=wine_env, capture_output=True)
        server = subprocess.Popen(["wineserver", "-p"], env=wine_env)
        runs = interleaved({
            "new": lambda: process([wine, exe, "--version"], wine_env)[0],
            "old": lambda: process([wine, old, "--version"], wine_env)[0],
        })
        subprocess.run(["wineserver", "-k"], env=wine_env)
        server.wait()
        rows.append((f"the earlier .exe, {os.path.getsize(old):,} bytes", "", "", ""))
        row("under Wine, --version: the earlier .exe", runs["old"], "ms")
        row("under Wine, --version: this .exe", runs["new"], "ms", "the earlier .exe", runs["old"])

print(f"| What ({rounds} rounds, interleaved) | Median (10th to 90th percentile) | Ratio | Goal |")
print("|---|---|---|---|")
for what, figure, ratio, goal in rows:
    print(f"| {what} | {figure} | {ratio} | {goal} |")
