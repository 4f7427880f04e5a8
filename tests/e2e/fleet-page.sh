#!/usr/bin/env bash
# The fleet's page in headless Chromium, opened from the file with the
# network off: a fleet with a host in every state; the counts and the rows
# that need action are what fleet.json says, and "#sort=0-descending" sorts
# the hosts' table by name through the page's own script. Leaves a screenshot
# (the README's docs/fleet.png) in the scratch folder.
# Usage: fleet-page.sh <vyr-fleet-report> <scratch folder>
set -euo pipefail
report=$1 scratch=$2/fleet-page
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v chromium > /dev/null || fail "chromium is missing (scripts/deps.sh installs it)"
rm -rf "$scratch" && mkdir -p "$scratch/hosts"
python3 - "$scratch/hosts" << 'PY'
import datetime, json, sys
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
PY
status=0
"$report" "$scratch/hosts" > "$scratch/report.out" || status=$?
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
        if tag == "table": self.table = self.tables.setdefault(attrs.get("id"), {"head": [], "rows": []})
        elif tag == "tr" and self.table is not None: self.row = []
        elif tag in ("td", "th") and self.table is not None: self.cell = ""; self.attrs = attrs
    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.row.append((self.cell.strip(), self.attrs)); self.cell = None
        elif tag == "tr" and self.table is not None:
            (self.table["head"] if all(a.get("scope") == "col" for _, a in self.row) else self.table["rows"]).append(self.row)
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
print(f"fleet.html in Chromium: {len(counts)} counts and {len(action)} rows that need action as fleet.json says; "
      f"sorted by host, descending")
PY
[ -s "$scratch/fleet.png" ] || fail "no screenshot"
