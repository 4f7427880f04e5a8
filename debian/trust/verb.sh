# Sourced by vyr-ca-trust's maintainer scripts: runs one verb of the program
# and says its outcome in apt's output. Only stores that cannot be written fail
# the script: a failed configure would leave the package half-configured and
# every later apt run failing. Anything else (a browser's policy, Java's
# keystore, another run holding the machine) is a warning; the daily timer
# and the next trigger try again. It decides from the verb's --json, one key
# a line, where a certificate's name cannot pass for a key. The scripts run
# under set -e: every test here is in a condition or ends in "|| true". VYR_CLI and
# VYR_TRUST_STATE are for the tests.
vyr_verb() {
    status=0
    json=$("${VYR_CLI:-/usr/bin/vyr-cert-installer-cli}" "$1" --json) || status=$?
    printf '%s\n' "$json" | sed -n 's/^    "summary": "\(.*\)",\{0,1\}$/\1/p'
    # Inside a maintainer script Java's hook only queues ca-certificates-java's
    # trigger; apt rebuilds the keystore once its run is over (apt.conf.d).
    state=${VYR_TRUST_STATE:-/var/lib/vyr-ca-trust}
    mkdir -p "$state"
    : > "$state/java-fresh"
    if [ "$status" = 3 ] || printf '%s\n' "$json" | grep -q '^            "reason": "the store '; then
        echo "vyr-ca-trust: error: the certificate stores could not be written, $1 did not take place" >&2
        return 1
    fi
    [ "$status" = 0 ] && return 0
    # Java's keystore alone behind is what any run inside dpkg says: no
    # certificate failed, no record note, and no other target failed.
    others=$(printf '%s\n' "$json" | sed -n '/^    "trust_targets_failed": {$/,/^    }/p' \
             | grep -v -e '^    "trust_targets_failed": {$' -e '^        "java": ' -e '^    }' || true)
    if [ "$status" = 1 ] && [ -z "$others" ] && printf '%s\n' "$json" | grep -q '^        "java": ' \
        && ! printf '%s\n' "$json" | grep -q -e '^            "result": "failed"' -e '^    "record": ' \
               -e '^    "system_trust": "failed'; then
        echo "vyr-ca-trust: Java's keystore follows once this apt run ends"
        return 0
    fi
    echo "vyr-ca-trust: warning: $1 did not reach everything; vyr-ca-trust.timer tries again daily" >&2
    return 0
}
