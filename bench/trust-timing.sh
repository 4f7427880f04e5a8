#!/usr/bin/env bash
# What installing vyr-ca-trust costs a fresh Debian host that has the
# program's dependencies already: apt-get install's time, and the program's
# and update-ca-certificates' shares of it; then the daily timer's run on the
# host in step: its whole-process time and what it writes (strace).
# Run beside a fresh host by the host script:
#   tests/e2e/debian-host.sh run bench/trust-timing.sh <cli.deb> <trust.deb>
set -euo pipefail
out=/tmp/vyr-cert-installer-bench/trust-timing.strace
mkdir -p "$(dirname "$out")"
c() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
cp "$1" "$root/tmp/cli.deb" && cp "$2" "$root/tmp/trust.deb"
c apt-get update -qq > /dev/null
c apt-get install -y -qq /tmp/cli.deb > /dev/null 2>&1

# Each program's life, from its execve to its exit; strace traces nothing else.
start=$(date +%s.%N)
strace -f -qq --seccomp-bpf -ttt -e trace=execve,exit_group -o "$out" \
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq /tmp/trust.deb > /dev/null 2>&1
end=$(date +%s.%N)
python3 - "$out" "$start" "$end" << 'PY'
import re, sys
started, ended, names = {}, {}, {}
for line in open(sys.argv[1]):
    pid, stamp, call = line.split(" ", 2)
    if call.startswith("execve(") and "= 0" in call:
        started[pid] = float(stamp)
        names[pid] = re.match(r'execve\("([^"]*)"', call).group(1)
    elif call.startswith("exit_group(") or call.startswith("+++ exited"):
        ended.setdefault(pid, float(stamp))
def spent(program):
    return sum(ended[p] - started[p] for p, name in names.items() if name.endswith(program) and p in ended)
total = float(sys.argv[3]) - float(sys.argv[2])
ours, refresh = spent("/vyr-cert-installer-cli"), spent("/update-ca-certificates")
print(f"apt-get install vyr-ca-trust (strace on execve and exit): {total * 1000:.0f} ms; the program {ours * 1000:.0f} ms, "
      f"of which update-ca-certificates {refresh * 1000:.0f} ms; the program without it {(ours - refresh) * 1000:.0f} ms")
PY

times=""
for _ in $(seq 11); do
    from=$(date +%s%N)
    c /usr/bin/vyr-cert-installer-cli --install > /dev/null
    times="$times $(( ($(date +%s%N) - from) / 1000 ))"
done
strace -f -qq -o "$out" \
    -e trace=openat,rename,renameat,renameat2,link,linkat,symlink,symlinkat,unlink,unlinkat,mkdir,mkdirat,truncate,ftruncate \
    chroot "$root" /usr/bin/vyr-cert-installer-cli --install > /dev/null
# Its copies in the temporary folder and the lock it holds are the run's own.
writes=$(grep -v -e "= -1" -e '"/tmp[/"]' -e '/var/lib/vyr-cert-installer/lock"' "$out" \
         | grep -c -E 'O_WRONLY|O_RDWR|O_CREAT|^[0-9]+ +(rename|link|symlink|unlink|mkdir|truncate|ftruncate)' || true)
median=$(printf '%s\n' $times | sort -n | sed -n 6p)
echo "the timer's run on a host in step (vyr-cert-installer-cli --install, 11 rounds): median" \
     "$(awk -v us="$median" 'BEGIN { printf "%.1f", us / 1000 }') ms; $writes writes"
