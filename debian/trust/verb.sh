# Sourced by vyr-ca-trust's maintainer scripts: runs one verb of the program
# and says its lines in apt's output. Only stores that cannot be written fail
# the script: a failed configure would leave the package half-configured and
# every later apt run failing. Anything else (a browser's policy, Java's
# keystore, another run holding the machine) is a warning; the daily timer
# and the next trigger try again.
vyr_verb() {
    status=0
    lines=$(/usr/bin/vyr-cert-installer-cli "$1" 2>&1) || status=$?
    printf '%s\n' "$lines"
    # Inside a maintainer script Java's hook only queues ca-certificates-java's
    # trigger; apt rebuilds the keystore once its run is over (apt.conf.d).
    mkdir -p /var/lib/vyr-ca-trust
    : > /var/lib/vyr-ca-trust/java-fresh
    if [ "$status" = 3 ] || printf '%s\n' "$lines" | grep -q '^[A-Z]* [^ ]* [^ ]* failed: the store '; then
        echo "vyr-ca-trust: error: the certificate stores could not be written, $1 did not take place" >&2
        return 1
    fi
    [ "$status" = 0 ] && return 0
    # Java's keystore alone behind is what any run inside dpkg says.
    if [ "$status" = 1 ] && ! printf '%s\n' "$lines" | grep -v '^trust target java failed: ' | grep -q -e ' failed' -e 'could not be'; then
        echo "vyr-ca-trust: Java's keystore follows once this apt run ends"
        return 0
    fi
    echo "vyr-ca-trust: warning: $1 did not reach everything (above); vyr-ca-trust.timer tries again daily" >&2
    return 0
}
