#!/usr/bin/env bash
# The real executable's verbs, with no display at all (no DISPLAY, no
# QT_QPA_PLATFORM). Cases:
#   exit-codes    --install, --check, --remove, --check: 0, 0, 0, 1; the check's
#                 metrics pass promtool and node_exporter serves them
#   unprivileged  as nobody against root's stores: --install and --remove exit 3
#                 and write nothing, --check still answers
#   concurrent    several --install at once, one temporary folder, one store:
#                 each reports every certificate added or present; each is held once;
#                 then --install and --remove at once in two temporary folders,
#                 20 rounds, and a last --remove leaves nothing of ours
#   full-disk     the store root on a tiny tmpfs (by size, then by inodes),
#                 in a private mount namespace: what is reported added is
#                 exactly what the stores hold, links included
#   second-release  a root put in ROOT by another program, then the first
#                 release's --install, then the second release (two retired,
#                 one new): its --check says retired, its --install withdraws
#                 them and the stores hold exactly its set, its --remove keeps
#                 the other program's root; without a record, --remove
#                 removes every bundled one
# Usage: verbs.sh <case> <executable> <store root> <scratch folder> [<second release's executable> <store_probe>]
set -u
case=$1 app=$2 stores=$3 scratch=$4 second=${5:-} probe=${6:-}
unset DISPLAY QT_QPA_PLATFORM WAYLAND_DISPLAY
export TMPDIR=$scratch/tmp/verbs
fail() { echo "FAIL: $*" >&2; exit 1; }
needs_root() { [ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit 77; }; }
record=$(dirname "$stores")/record.json
fresh() { rm -rf "$stores/ROOT" "$stores/CA" "$TMPDIR" "$record"; mkdir -p "$TMPDIR"; }
verb() { "$app" "$@" > "$scratch/verb.out" 2>&1; echo $?; }
expect() { # expected-exit verb...
    local want=$1 got
    shift
    got=$(verb "$@")
    [ "$got" = "$want" ] || fail "$* exited $got, expected $want: $(cat "$scratch/verb.out")"
}
# Each certificate file in a store, and the links that reach it: one each.
held_once() {
    local store file count
    for store in ROOT CA; do
        for file in "$stores/$store"/*.crt; do
            [ -e "$file" ] || continue
            count=$(find "$stores/$store" -maxdepth 1 -type l -lname "$(basename "$file")" | wc -l)
            [ "$count" = 1 ] || fail "$file is reached by $count links"
        done
    done
    [ -z "$(find "$stores" -name '.*' -type f)" ] || fail "temporary files left: $(find "$stores" -name '.*' -type f)"
}
crt_count() { find "$stores/ROOT" "$stores/CA" -maxdepth 1 -name '*.crt' 2>/dev/null | wc -l; }

case $case in
exit-codes)
    fresh
    expect 1 --check
    expect 0 --install
    expect 0 --check
    grep -q "^9 of 9 certificates in their stores$" "$scratch/verb.out" || fail "check: $(cat "$scratch/verb.out")"
    # The check as metrics: promtool takes the file; node_exporter serves it from its textfile folder.
    textfile=$scratch/textfile port=$((20000 + RANDOM % 20000))
    rm -rf "$textfile"
    expect 0 --check --metrics "$textfile/vyr-cert-installer.prom"
    promtool check metrics < "$textfile/vyr-cert-installer.prom" > "$scratch/promtool.out" 2>&1 \
        || fail "promtool: $(cat "$scratch/promtool.out")"
    prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$textfile" > /dev/null 2>&1 &
    exporter=$!
    for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/metrics" > "$scratch/served" && break; sleep 0.1; done
    kill "$exporter"
    grep -q '^vyr_check_success 1$' "$scratch/served" \
        && [ "$(grep -c '^vyr_certificate_state{.*state="present".*} 1$' "$scratch/served")" = 9 ] \
        || fail "node_exporter served: $(grep vyr_ "$scratch/served")"
    expect 0 --remove
    expect 1 --check
    [ "$(crt_count)" = 0 ] || fail "certificates left after --remove"
    ;;
unprivileged)
    needs_root
    fresh
    expect 0 --install
    mkdir -p "$scratch/bin" && cp "$app" "$scratch/bin/vyr-cert-installer-verbs" && chmod 0755 "$scratch/bin"
    rm -rf "${TMPDIR:?}"/* && chmod 1777 "$TMPDIR"
    before=$(ls -lR --time-style=full-iso "$stores")
    as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$scratch/bin/vyr-cert-installer-verbs" "$@" \
                      > "$scratch/verb.out" 2>&1; echo $?; }
    [ "$(as_nobody --install)" = 3 ] || fail "--install as nobody: $(cat "$scratch/verb.out")"
    [ "$(as_nobody --remove)" = 3 ] || fail "--remove as nobody: $(cat "$scratch/verb.out")"
    [ "$(ls -lR --time-style=full-iso "$stores")" = "$before" ] || fail "nobody changed the stores"
    [ -z "$(ls -A "$TMPDIR")" ] || fail "nobody's --install copied files: $(ls -A "$TMPDIR")"
    [ "$(as_nobody --check)" = 0 ] || fail "--check as nobody: $(cat "$scratch/verb.out")"
    [ "$(grep -c ' present$' "$scratch/verb.out")" = 9 ] || fail "--check as nobody: $(cat "$scratch/verb.out")"
    ;;
concurrent)
    fresh
    for n in 2 4 8; do
        rm -rf "$stores/ROOT" "$stores/CA"
        pids=()
        for i in $(seq "$n"); do
            "$app" --install > "$scratch/concurrent.$i" 2>&1 &
            pids+=($!)
        done
        # Every run is waited for before any verdict, so that a failing one
        # leaves no run behind to write into the next case's stores.
        codes=()
        for pid in "${pids[@]}"; do
            wait "$pid" && codes+=(0) || codes+=($?)
        done
        for i in $(seq "$n"); do
            [ "${codes[$((i - 1))]}" = 0 ] || fail "run $i of $n exited ${codes[$((i - 1))]}: $(cat "$scratch/concurrent.$i")"
            [ "$(grep -cE ' (added|present)$' "$scratch/concurrent.$i")" = 9 ] \
                || fail "run $i of $n: $(cat "$scratch/concurrent.$i")"
        done
        [ "$(crt_count)" = 9 ] || fail "$n runs left $(crt_count) certificates"
        held_once
    done
    # --install and --remove at once, each with a temporary folder of its own
    # (a window through pkexec, a play through sudo, a unit with a private
    # /tmp): they still take turns, so the record never loses what was added
    # and a last --remove leaves nothing of ours.
    mkdir -p "$TMPDIR/a" "$TMPDIR/b"
    for round in $(seq 20); do
        TMPDIR=$TMPDIR/a "$app" --install > "$scratch/concurrent.install" 2>&1 &
        installing=$!
        TMPDIR=$TMPDIR/b "$app" --remove > "$scratch/concurrent.remove" 2>&1 &
        removing=$!
        wait "$installing" || fail "round $round: --install exited $?: $(cat "$scratch/concurrent.install")"
        wait "$removing" || fail "round $round: --remove exited $?: $(cat "$scratch/concurrent.remove")"
    done
    expect 0 --remove
    [ "$(crt_count)" = 0 ] || fail "after 20 rounds, --remove left $(crt_count) certificates: $(cat "$scratch/verb.out")"
    ;;
full-disk)
    needs_root
    fresh
    for limit in size=12k nr_inodes=8; do
        code=$(unshare -m --propagation private sh -c '
            mount -t tmpfs -o "$1" vyr-full "$2" || exit 99
            "$3" --install > "$4/verb.out" 2>&1
            echo $? > "$4/verb.code"
            # What the trust package makes of a full store: the script fails.
            VYR_CLI="$3" VYR_TRUST_STATE="$4/trust-state" sh -c ". \"\$0\"; vyr_verb --install" "$5" \
                > "$4/verb-sh.out" 2>&1
            echo $? > "$4/verb-sh.code"
            ls -lR "$2" > "$4/verb.stores"
            grep -c " added$" "$4/verb.out" > "$4/verb.added"
            find "$2/ROOT" "$2/CA" -maxdepth 1 -name "*.crt" 2>/dev/null | wc -l > "$4/verb.files"
            for f in "$2"/ROOT/*.crt "$2"/CA/*.crt; do
                [ -e "$f" ] || continue
                [ "$(find "$(dirname "$f")" -maxdepth 1 -type l -lname "$(basename "$f")" | wc -l)" = 1 ] \
                    || echo "$f" >> "$4/verb.unlinked"
            done
            [ -z "$(find "$2" -name ".*" -type f)" ] || echo leftover >> "$4/verb.unlinked"
        ' - "$limit" "$stores" "$app" "$scratch" "$(cd "$(dirname "$0")/../../debian/trust" && pwd)/verb.sh"; echo $?)
        [ "$code" = 0 ] || fail "the private tmpfs could not be mounted ($limit)"
        added=$(cat "$scratch/verb.added") files=$(cat "$scratch/verb.files")
        [ "$(cat "$scratch/verb.code")" = 1 ] || fail "$limit: --install exited $(cat "$scratch/verb.code")"
        [ "$added" = "$files" ] || fail "$limit: $added reported added, $files held: $(cat "$scratch/verb.out" "$scratch/verb.stores")"
        [ "$added" -gt 0 ] && [ "$added" -lt 9 ] || fail "$limit: $added added; the disk was not filled mid-run"
        [ ! -e "$scratch/verb.unlinked" ] || fail "$limit: $(cat "$scratch/verb.unlinked")"
        [ "$(cat "$scratch/verb-sh.code")" = 1 ] && grep -q "^vyr-ca-trust: error: the certificate stores could not be written" \
            "$scratch/verb-sh.out" || fail "$limit: the trust package's script: $(cat "$scratch/verb-sh.out")"
        echo "$limit: $added of 9 added and held"
    done
    ;;
second-release)
    fresh
    . "$(dirname "$0")/bundle.sh"
    line_of() { grep " $1 " "$scratch/verb.out"; }
    "$probe" add ROOT "$(dirname "$0")/../../resources/Cert/Vyr_Root_CA_2.cer" > /dev/null || fail "no foreign root"
    expect 0 --install
    line_of Vyr_Root_CA_2.cer | grep -q ' present$' || fail "the foreign root: $(cat "$scratch/verb.out")"
    app=$second
    expect 1 --check
    [ "$(grep -c ' retired$' "$scratch/verb.out")" = 2 ] || fail "second --check: $(cat "$scratch/verb.out")"
    expect 0 --install
    [ "$(grep -c ' withdrawn$' "$scratch/verb.out")" = 2 ] && [ "$(grep -c ' added$' "$scratch/verb.out")" = 1 ] \
        || fail "second --install: $(cat "$scratch/verb.out")"
    held=$(for store in ROOT CA; do for file in "$stores/$store"/*.crt; do
               echo "$store $(basename "$file" .crt)"; done; done | sort)
    [ "$held" = "$(expected_stores "$(dirname "$second")/second-release/Cert")" ] \
        || fail "the stores after the second --install: $held"
    [ "$(python3 -c 'import json, sys
for c in json.load(open(sys.argv[1]))["certificates"]: print(c["name"], c["added"])' "$record" | sort | tr '\n' ' ')" \
      = "Vyr_Int_1.crt True Vyr_Int_2.crt True Vyr_Int_3.crt True Vyr_Int_4.crt True Vyr_Root_CA_2.cer False Vyr_Root_CA_3.crt True Vyr_Root_CA_4.cer True Vyr_Root_CA_5.cer True " ] \
        || fail "the record: $(cat "$record")"
    expect 0 --remove
    line_of Vyr_Root_CA_2.cer | grep -q ' kept$' || fail "second --remove: $(cat "$scratch/verb.out")"
    # The record stays, empty: a second --remove still knows the root is not ours.
    expect 0 --remove
    [ "$(crt_count)" = 1 ] && python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1]))["certificates"] != [])' \
        "$record" || fail "after --remove: $(crt_count) certificates, record $(cat "$record")"
    expect 0 --install
    rm "$record"
    expect 0 --remove
    grep -q '^no record of what this program added' "$scratch/verb.out" || fail "no record: $(cat "$scratch/verb.out")"
    [ "$(crt_count)" = 0 ] || fail "without a record, --remove left $(crt_count) certificates"
    held_once
    ;;
*)
    fail "unknown case $case"
    ;;
esac
echo "$case: as expected"
