#!/usr/bin/env bash
# The Linux playbook against this machine (connection local) with the test
# build and its scratch stores: the first play changes something, the second
# nothing, and after --remove the next one changes something again. The
# Windows playbook passes Ansible's syntax check.
# Usage: ansible.sh <executable> <store root> <scratch folder>
set -u
app=$(realpath "$1") stores=$2 scratch=$3
playbooks=$(cd "$(dirname "$0")/../../deploy/ansible" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
unset DISPLAY QT_QPA_PLATFORM
export TMPDIR=$scratch/tmp/ansible HOME=$scratch/ansible-home ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$scratch/ansible-home/tmp ANSIBLE_REMOTE_TEMP=$scratch/ansible-home/tmp
rm -rf "$stores/ROOT" "$stores/CA" "$(dirname "$stores")/record.json" "$TMPDIR" "$HOME" "$scratch/ansible-bin"
mkdir -p "$TMPDIR" "$HOME" "$scratch/ansible-bin"

play() {
    ansible-playbook -i localhost, -c local "$playbooks/linux.yml" -e vyr_hosts=localhost -e vyr_become=false \
        -e "vyr_program=$app" -e "vyr_path=$scratch/ansible-bin/vyr-cert-installer-cli" > "$scratch/ansible.out" 2>&1 \
        || fail "the play failed: $(cat "$scratch/ansible.out")"
    grep -o 'changed=[0-9]*' "$scratch/ansible.out" | tail -n 1
}
expect_changes() { # what the first task's copy aside, the install did
    [ "$(grep -c '^changed: \[localhost\]' "$scratch/ansible.out")" = "$1" ] \
        || fail "expected $1 changed tasks: $(cat "$scratch/ansible.out")"
}

play > /dev/null && expect_changes 2 # the copy and the install
play > /dev/null && expect_changes 0
"$scratch/ansible-bin/vyr-cert-installer-cli" --check > /dev/null || fail "the play left certificates missing"
"$scratch/ansible-bin/vyr-cert-installer-cli" --remove > /dev/null || fail "--remove failed"
play > /dev/null && expect_changes 1 # the install alone
ansible-playbook -i localhost, --syntax-check "$playbooks/windows.yml" > "$scratch/ansible.out" 2>&1 \
    || fail "the Windows playbook: $(cat "$scratch/ansible.out")"
echo "changed, unchanged, changed after --remove; the Windows playbook's syntax holds"
