#!/usr/bin/env bash
# The fleet's page in headless Chromium, opened from the file with the
# network off: a fleet with a host in every state, after a history of six
# daily reports (each run with its clock set back); the counts and the rows
# that need action are what fleet.json says, "#sort=0-descending" sorts the
# hosts' table by name through the page's own script, and the three pictures
# say what they show. A host's own words with markup and script in them run
# nothing and leave the page whole. Leaves a screenshot (the README's
# docs/fleet.png) in the scratch folder.
# Usage: fleet-page.sh <vyr-fleet-report> <scratch folder>
set -euo pipefail
report=$1 scratch=$2/fleet-page
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v chromium > /dev/null || fail "chromium is missing (scripts/deps.sh installs it)"
rm -rf "$scratch" && mkdir -p "$scratch/hosts"
python3 - "$scratch/hosts" << 'PY'
import datetime, json, os, sys
now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
def check(host, results, days=(4000,) * 3, hours=1):
    names = ["Vyr_Root_CA_1.cer", "Vyr_Int_1.crt", "Vyr_Int_2.crt"]
    certificates = [{"store": "CA" if "Int" in n else "ROOT", "name": n, "thumbprint": f"{i:02X}" * 20, "result": r,
                     "not_after": (now + datetime.timedelta(days=d)).isoformat().replace("+00:00", "Z"), "days_left": d}
                    for i, (n, r, d) in enumerate(zip(names, results, days))]
    # The root may vouch for the organisation's names only, as its check said.
    certificates[0]["vouches_for"] = {"permitted": ["DNS:corp.test", "IP:10.0.0.0/255.0.0.0"], "excluded": []}
    return {"verb": "check", "certificates": certificates, "exit_code": 0, "summary": "",
            "schema": "vyr-host-check/1", "host": host, "version": "1.1.0",
            "checked_at": (now - datetime.timedelta(hours=hours)).isoformat().replace("+00:00", "Z")}
documents = {
    "app-01": check("app-01", ["present"] * 3), "app-02": check("app-02", ["present"] * 3, hours=20),
    "db-01": check("db-01", ["present"] * 3, days=(12, 4000, 4000)),
    "web-01": check("web-01", ["missing", "present", "present"]),
    "web-02": check("web-02", ["present", "present", "retired"]),
    "web-03": dict(check("web-03", ["present"] * 3), channel={
        "source": "https://apt.corp.test/vyr", "vyr_ca_trust": "1.1.0", "vyr_archive_keyring": "1.1.0+keys1",
        "refreshed_at": (now - datetime.timedelta(days=10)).isoformat().replace("+00:00", "Z")}),
    "mail-01": {"schema": "vyr-host-check/1", "host": "mail-01", "checked_at": now.isoformat().replace("+00:00", "Z"),
                "error": "unreachable", "message": "ssh: connect to host mail-01 port 22: No route to host"},
}
for host, document in documents.items():
    json.dump(document, open(f"{sys.argv[1]}/{host}.json", "w"))
open(f"{sys.argv[1]}/build-07.json", "w").write("{truncated")
# The six days before: fewer hosts lacking the root each day, web-01 every day, all checked an hour
# before the report.
for days in range(1, 7):
    folder = f"{sys.argv[1]}/../days-{days}"
    os.makedirs(folder)
    for n, host in enumerate(documents):
        document = check(host, ["missing" if host == "web-01" or n < days - 1 else "present", "present", "present"])
        document["checked_at"] = (now - datetime.timedelta(days=days, hours=1)).isoformat().replace("+00:00", "Z")
        json.dump(document, open(f"{folder}/{host}.json", "w"))
PY
history=$scratch/history.sqlite
for days in 6 5 4 3 2 1; do
    status=0
    # The sanitizer's runtime need not be loaded first where faketime is.
    ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 faketime -f "-${days}d" \
        "$report" --history "$history" --out "$scratch/report-$days" "$scratch/days-$days" > /dev/null || status=$?
    [ "$status" = 2 ] || fail "the report $days days ago exited $status"
done
status=0
"$report" --history "$history" "$scratch/hosts" > "$scratch/report.out" || status=$?
[ "$status" = 3 ] || fail "vyr-fleet-report exited $status, expected 3: $(cat "$scratch/report.out")"
# Usage errors are UNKNOWN, as a monitoring plugin's.
for usage in "--bogus $scratch/hosts" "--expiry-days x $scratch/hosts" ""; do
    status=0
    # shellcheck disable=SC2086
    "$report" $usage > /dev/null 2>&1 || status=$?
    [ "$status" = 3 ] || fail "vyr-fleet-report $usage exited $status, expected 3"
done

# No network: a page that reached for one would wait in vain.
chrome() {
    timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --proxy-server=127.0.0.1:9 --user-data-dir="$scratch/profile" "$@" \
        2> /dev/null
}
chrome --dump-dom "file://$scratch/hosts/fleet.html#sort=0-descending" > "$scratch/dom.html"
chrome --window-size=1100,1250 --screenshot="$scratch/fleet.png" "file://$scratch/hosts/fleet.html" > /dev/null
python3 - "$scratch/dom.html" "$scratch/hosts/fleet.json" << 'PY'
import html.parser, json, sys
class Tables(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(); self.tables, self.table, self.cell = {}, None, None
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        # A long table's later blocks are tables of its rows.
        if tag == "table": self.table = self.tables.setdefault(attrs.get("id") or attrs["data-of"], {"head": [], "rows": []})
        elif tag == "tr" and self.table is not None: self.row = []; self.hidden = "hidden" in attrs
        elif tag in ("td", "th") and self.table is not None: self.cell = ""; self.attrs = attrs
    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.row.append((self.cell.strip(), self.attrs)); self.cell = None
        elif tag == "tr" and self.table is not None:
            (self.table["head"] if all(a.get("scope") == "col" for _, a in self.row) else self.table["rows"]).append(self.row)
            if self.hidden: self.table.setdefault("hidden", set()).add(self.row[0][0])
        elif tag == "table": self.table = None
    def handle_data(self, data):
        if self.cell is not None: self.cell += data
page = Tables(); page.feed(open(sys.argv[1]).read())
report = json.load(open(sys.argv[2]))
counts = {row[0][0]: int(row[1][0]) for row in page.tables["counts"]["rows"]}
assert counts == report["counts"], f"counts {counts} against {report['counts']}"
action = [(row[0][0], row[1][0]) for row in page.tables["action"]["rows"]]
wanted = [(h["host"], h["state"]) for h in report["hosts"] if h["state"] != "in step"]
assert action == wanted, f"needs action {action} against {wanted}"
assert ("web-03", "channel quiet") in action, f"the quiet channel: {action}"
versions = {row[0][0]: row[4][0] for row in page.tables["hosts"]["rows"]}
assert versions["web-03"] == "1.1.0, keyring 1.1.0+keys1" and versions["web-01"] == "1.1.0", f"versions: {versions}"
sorted_hosts = [row[0][0] for row in page.tables["hosts"]["rows"]]
assert sorted_hosts == sorted((h["host"] for h in report["hosts"]), reverse=True), f"sorted: {sorted_hosts}"
header = page.tables["hosts"]["head"][0][0][1]
assert header.get("aria-sort") == "descending", f"the host column says {header}"
vouching = {row[0][0].split()[1]: (row[1][0], row[2][0]) for row in page.tables["lacking"]["rows"]}
assert vouching == {"Vyr_Root_CA_1.cer": ("only DNS:corp.test, IP:10.0.0.0/255.0.0.0", "1"),
                    "Vyr_Int_1.crt": ("-", "0"), "Vyr_Int_2.crt": ("-", "0")}, f"the certificates' table: {vouching}"
# The pictures, each with its text.
import datetime, re
dom = open(sys.argv[1]).read()
bar = re.search(r'<svg [^>]*id="state-bar".*?<title id="state-bar-title">([^<]*)</title>', dom).group(1)
assert bar == ("The hosts by state: 1 unreachable, 1 failed, 1 lacking, 1 retired, 1 channel quiet, 1 expiring, "
               "2 in step."), f"the bar says {bar}"
timeline = re.search(r'<svg [^>]*id="expiry-timeline".*?<title id="expiry-timeline-title">([^<]*)</title>', dom).group(1)
assert "Vyr_Int_2.crt ends " in timeline and "retired but held by 1 host;" in timeline, f"the timeline says {timeline}"
trend = re.search(r'<svg [^>]*id="trend".*?<title id="trend-title">([^<]*)</title>', dom).group(1)
assert re.fullmatch(r"The hosts' states over the last 7 reports: from \S+ 71% lacking, 29% in step to \S+ 13% unreachable, "
                    r"13% failed, 13% lacking, 13% retired, 13% channel quiet, 13% expiring, 25% in step\.", trend), trend
assert len(page.tables["trend-counts"]["rows"]) == 7, "the trend's table"
since = {row[0][0]: row[4][0] for row in page.tables["action"]["rows"]}
today = report["generated"][:10]
six_days = (datetime.datetime.fromisoformat(report["generated"][:10]) - datetime.timedelta(days=6)).date().isoformat()
assert since["web-01"] == six_days and since["mail-01"] == today, f"out of step since: {since}"
print(f"fleet.html in Chromium: {len(counts)} counts and {len(action)} rows that need action as fleet.json says; "
      f"sorted by host, descending")
PY
[ -s "$scratch/fleet.png" ] || fail "no screenshot"
[ "$("$report" --history "$history" --since web-01 | cut -d' ' -f2- | tr '\n' ,)" = "lacking,lacking,lacking,lacking,lacking,lacking,lacking," ] \
    || fail "--since web-01: $("$report" --history "$history" --since web-01)"

# A host's words that would end the page's data or script: shown as text, nothing of them runs.
mkdir -p "$scratch/odd"
evil='</script><!--<script>document.title="owned"</script>'
python3 - "$scratch/odd" "$evil" << 'PY'
import datetime, json, sys
at = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat().replace("+00:00", "Z")
json.dump({"schema": "vyr-host-check/1", "host": "<!--<script>", "checked_at": at, "error": "failed", "message": sys.argv[2]},
          open(f"{sys.argv[1]}/a.json", "w"))
json.dump({"schema": "vyr-host-check/1", "host": "b", "checked_at": at, "version": sys.argv[2], "verb": "check",
           "exit_code": 0, "certificates": [{"store": "ROOT", "name": "A.cer", "thumbprint": "AB", "result": "present"}]},
          open(f"{sys.argv[1]}/b.json", "w"))
PY
"$report" --scope "$evil" "$scratch/odd" > /dev/null || true
grep -q '"scope":"\\u003c/script>\\u003c!--\\u003cscript>' "$scratch/odd/fleet.html" || fail "the page's data holds a < as it stands"
chrome --dump-dom "file://$scratch/odd/fleet.html#sort=0-descending" > "$scratch/odd-dom.html"
python3 - "$scratch/odd-dom.html" "$evil" << 'PY'
import html.parser, json, re, sys
dom, evil = open(sys.argv[1]).read(), sys.argv[2]
title = re.search(r"<title>([^<]*)</title>", dom).group(1)
assert title.startswith("Vyr CA certificates: the fleet, "), f"a script of the host's ran: {title}"
scripts = re.findall(r"<script\b[^>]*>", dom)
assert scripts == ['<script type="application/json" id="fleet-data">', "<script>"], f"scripts: {scripts}"
assert 'aria-sort="descending"' in dom, "the page's own script did not run to its end"
data = json.loads(re.search(r'<script type="application/json" id="fleet-data">(.*?)</script>', dom, re.S).group(1))
assert data["scope"] == evil and data["release"] == evil, f"the page's data: {data}"
class Text(html.parser.HTMLParser):
    def __init__(self): super().__init__(); self.cells = []
    def handle_data(self, data): self.cells.append(data)
text = Text(); text.feed(dom)
assert evil in text.cells and "<!--<script>" in text.cells, "the host's words are not shown as they are"
print("markup in a host's words, its version and the scope: shown as text, no script of it ran, the page whole")
PY

# 10,000 hosts, one in eight lacking a root: sorting brings the last block's host first, and the
# filter finds one that sorting put into the last block.
python3 - "$scratch/big" << 'PY'
import datetime, json, os, sys
os.makedirs(sys.argv[1])
at = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat().replace("+00:00", "Z")
for n in range(10000):
    result = "missing" if n % 8 == 3 else "present"
    json.dump({"schema": "vyr-host-check/1", "host": f"h{n:05}", "checked_at": at, "verb": "check", "exit_code": 0,
               "certificates": [{"store": "ROOT", "name": "Vyr_Root_CA_1.cer", "thumbprint": "AB" * 20, "result": result}]},
              open(f"{sys.argv[1]}/h{n:05}.json", "w"))
PY
status=0
"$report" "$scratch/big" > "$scratch/big.out" || status=$?
[ "$status" = 2 ] || fail "vyr-fleet-report over 10,000 hosts exited $status: $(cat "$scratch/big.out")"
chrome --dump-dom "file://$scratch/big/fleet.html#sort=0-descending&filter=h00001" > "$scratch/big-dom.html"
python3 - "$scratch/big-dom.html" << 'PY'
import html.parser, sys
class Rows(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(); self.tables, self.table, self.blocks, self.cell = {}, None, {}, None
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.table = attrs.get("id") or attrs["data-of"]
            self.blocks[self.table] = self.blocks.get(self.table, 0) + 1
        elif tag == "tr" and self.table: self.hidden = "hidden" in attrs; self.first = None
        elif tag in ("td", "th") and self.table and self.first is None: self.cell = ""
    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None: self.first = self.cell.strip(); self.cell = None
        elif tag == "tr" and self.table and self.first not in (None, "Host"):
            self.tables.setdefault(self.table, []).append((self.first, self.hidden))
        elif tag == "table": self.table = None
    def handle_data(self, data):
        if self.cell is not None: self.cell += data
page = Rows(); page.feed(open(sys.argv[1]).read())
hosts = page.tables["hosts"]
assert page.blocks["hosts"] == 50 and page.blocks["action"] == 7, f"blocks: {page.blocks}"
assert [h for h, _ in hosts] == [f"h{n:05}" for n in reversed(range(10000))], "the 10,000 hosts are not sorted by name"
shown = [h for h, hidden in hosts if not hidden]
assert shown == ["h00001"] and hosts.index(("h00001", False)) >= 9800, f"the filter shows {shown[:5]}"
print(f"10,000 hosts in {page.blocks['hosts']} blocks: sorted by name across blocks, the filter finds h00001 in the last block")
PY
