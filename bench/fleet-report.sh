#!/usr/bin/env bash
# The fleet's report for 1,000, 10,000 and 100,000 synthetic hosts, nine
# certificates each (a tenth lacking one, a tenth unreachable), beside a plain
# reading of the same documents in the same run (Python's json into a CSV):
# the report's time as a ratio to it, its peak memory, the same with a
# history, and headless Chromium's time from navigation to the first frame
# after load for the 10,000-host page against a one-host page.
# Usage: bench/fleet-report.sh <vyr-fleet-report> [scratch]
set -euo pipefail
report=$(realpath "$1") scratch=${2:-/tmp/vyr-cert-installer-bench/fleet}
python3 - "$report" "$scratch" << 'PY'
import datetime, json, os, re, shutil, subprocess, sys, time
report, scratch = sys.argv[1:3]
now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
stamp = lambda t: t.isoformat().replace("+00:00", "Z")
os.makedirs(scratch, exist_ok=True)

def documents(folder, count):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for n in range(count):
        host = f"host-{n:06d}"
        if n % 10 == 9:
            document = {"error": "unreachable", "message": "ssh: connect to host: No route to host"}
        else:
            document = {"verb": "check", "exit_code": 0, "summary": "", "certificates": [
                {"store": "ROOT" if c < 4 else "CA", "name": f"Cert_{c}.cer", "thumbprint": f"{c:02X}" * 20,
                 "result": "missing" if (n % 10 == 3 and c == 0) else "present",
                 "not_after": stamp(now + datetime.timedelta(days=100 + (n * 7 + c) % 3000)),
                 "days_left": 100 + (n * 7 + c) % 3000} for c in range(9)]}
        document.update({"schema": "vyr-host-check/1", "host": host, "checked_at": stamp(now), "version": "1.1.0"})
        with open(f"{folder}/{host}.json", "w") as out:
            json.dump(document, out)

# The plain reading: every document parsed, a CSV row a certificate, in a child of its own.
PLAIN = r'''
import csv, json, os, sys
folder, out = sys.argv[1:3]
with open(out, "w", newline="") as file:
    rows = csv.writer(file)
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name)) as document:
            d = json.load(document)
        for c in d.get("certificates", []):
            rows.writerow([d["host"], c["store"], c["name"], c["thumbprint"], c["result"], c.get("not_after"), c.get("days_left")])
'''

def timed(argv, runs):
    best, peak = None, 0
    for _ in range(runs):
        began = time.monotonic()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        took = time.monotonic() - began
        if os.waitstatus_to_exitcode(status) not in (0, 1, 2, 3):
            sys.exit(f"{argv[0]} exited {os.waitstatus_to_exitcode(status)}")
        best, peak = min(best or took, took), max(peak, usage.ru_maxrss)
    return best, peak / 1024

def first_frame(page):
    """Chromium's time from the page's navigation to its first frame after load, in ms (best of 5)."""
    harness = f"{scratch}/harness.html"
    open(harness, "w").write("""<!DOCTYPE html><title>harness</title><body><script>
var f = document.createElement('iframe');
f.style.width = '1100px'; f.style.height = '1250px';
f.onload = function () { var w = f.contentWindow; w.requestAnimationFrame(function () { w.requestAnimationFrame(function () {
  console.log('first frame after load: ' + w.performance.now().toFixed(1)); }); }); };
f.src = decodeURIComponent(location.hash.slice(1));
document.body.appendChild(f);
</script>""")
    times = []
    for _ in range(5):
        run = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                              "--disable-background-networking", "--proxy-server=127.0.0.1:9", "--allow-file-access-from-files",
                              "--enable-logging=stderr", "--v=0", f"--user-data-dir={scratch}/profile", "--window-size=1200,1300",
                              f"--screenshot={scratch}/frame.png", f"file://{harness}#file://{page}"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=300)
        said = re.search(r"first frame after load: ([0-9.]+)", run.stderr)
        if said:
            times.append(float(said.group(1)))
    if not times:
        sys.exit("Chromium said no time for " + page)
    return min(times)

print("| Hosts | Python json to CSV | Report | Ratio | Peak memory | With --history | Its peak memory | fleet.html |")
print("|---|---|---|---|---|---|---|---|")
for count in (1000, 10000, 100000):
    folder, out = f"{scratch}/hosts-{count}", f"{scratch}/report-{count}"
    documents(folder, count)
    runs = 3 if count < 100000 else 2
    plain, _ = timed([sys.executable, "-c", PLAIN, folder, f"{scratch}/plain.csv"], runs)
    took, peak = timed([report, "--out", out, folder], runs)
    history = f"{scratch}/history-{count}.sqlite"
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(history + suffix):
            os.remove(history + suffix)
    # The second report over the history: the last known states read back, and one more recorded.
    timed([report, "--history", history, "--out", out, folder], 1)
    with_history, history_peak = timed([report, "--history", history, "--out", out, folder], 1)
    size = os.path.getsize(f"{out}/fleet.html")
    print(f"| {count:,} | {plain * 1000:.0f} ms | {took * 1000:.0f} ms | {took / plain:.2f} | {peak:.0f} MB | "
          f"{with_history * 1000:.0f} ms | {history_peak:.0f} MB | {size / 1e6:.1f} MB |", flush=True)
    if count == 10000:
        big = first_frame(f"{out}/fleet.html")
    shutil.rmtree(folder)
one = f"{scratch}/hosts-1"
documents(one, 1)
subprocess.run([report, "--out", f"{scratch}/report-1", one], stdout=subprocess.DEVNULL)
small = first_frame(f"{scratch}/report-1/fleet.html")
print(f"\nChromium, navigation to the first frame after load (best of 5): 10,000 hosts {big:.0f} ms, "
      f"one host {small:.0f} ms: {big - small:.0f} ms more")
PY
