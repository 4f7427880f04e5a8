#!/usr/bin/env bash
# The fleet's report for 100, 1,000 and 10,000 synthetic hosts, nine
# certificates each (a tenth lacking one, a tenth unreachable): the report's
# time and peak memory, the page's size, and headless Chromium's time to load
# the page and to load and sort it, against an empty page.
# Usage: bench/fleet-report.sh <vyr-fleet-report> [scratch]
set -euo pipefail
report=$(realpath "$1") scratch=${2:-/tmp/vyr-cert-installer-bench/fleet}
python3 - "$report" "$scratch" << 'PY'
import datetime, json, os, resource, shutil, subprocess, sys, time
report, scratch = sys.argv[1:3]
now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
stamp = lambda t: t.isoformat().replace("+00:00", "Z")
def chrome(url):
    began = time.monotonic()
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--proxy-server=127.0.0.1:9",
                    f"--user-data-dir={scratch}/profile", "--dump-dom", url],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=300)
    return time.monotonic() - began
os.makedirs(scratch, exist_ok=True)
open(f"{scratch}/blank.html", "w").write("<!DOCTYPE html><title>blank</title>")
blank = min(chrome(f"file://{scratch}/blank.html") for _ in range(3))
print("| Hosts | Report | Peak memory | fleet.html | Chromium: load | Chromium: load and sort |")
print("|---|---|---|---|---|---|")
for count in (100, 1000, 10000):
    folder = f"{scratch}/hosts-{count}"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for n in range(count):
        host = f"host-{n:05d}"
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
    times, peak = [], 0
    for _ in range(3):
        began = time.monotonic()
        child = subprocess.Popen([report, folder], stdout=subprocess.DEVNULL)
        _, _, usage = os.wait4(child.pid, 0)
        times.append(time.monotonic() - began)
        peak = max(peak, usage.ru_maxrss)
    page = f"file://{folder}/fleet.html"
    load = min(chrome(page) for _ in range(3)) - blank
    sort = min(chrome(page + "#sort=2-descending") for _ in range(3)) - blank
    size = os.path.getsize(f"{folder}/fleet.html")
    print(f"| {count:,} | {min(times) * 1000:.0f} ms | {peak / 1024:.1f} MB | {size / 1e6:.2f} MB | "
          f"{load * 1000:.0f} ms | {sort * 1000:.0f} ms |")
print(f"(Chromium's own start and an empty page: {blank * 1000:.0f} ms, taken off both Chromium columns; best of 3)")
PY
