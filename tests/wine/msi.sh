#!/usr/bin/env bash
# The MSI under Wine's msiexec, silent, in a prefix of its own: the install
# puts the program in Program Files\Vyr and the nine certificates in their
# stores (read back by thumbprint); a second install changes nothing; the
# uninstall takes them and the program away; a build whose --install fails
# fails the install and leaves nothing registered; 1.0.0 -> 1.1.0 leaves one
# product, and a downgrade is refused. Given a later release's .exe (two
# certificates retired, a root added) and its Cert folder: a bundled root put
# in ROOT by another program first; the first release's --install, then the
# later one's --check (retired) and --install (withdrawn), the record read
# back with reg query, its --remove keeping the other program's root; and an
# MSI upgrade to the later release leaving exactly its set.
# Usage: msi.sh <vyr-cert-installer.exe> <window_probe.exe> <failing_install.exe> <bundle's Cert folder> <scratch>
#               [<later release's .exe> <its Cert folder>]
set -u
exe=$1 probe=$2 failing=$3 certs=$4 scratch=$5 later=${6:-} later_certs=${7:-}
wine=${WINE:-wine64}
export WINEDEBUG=-all WINEPREFIX=$scratch/prefix DISPLAY=
fail() { echo "FAIL: $*" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../e2e/bundle.sh"
rm -rf "$scratch" && mkdir -p "$scratch"
"$wine" wineboot --init > /dev/null 2>&1 || fail "no Wine prefix"
installed="$WINEPREFIX/drive_c/Program Files/Vyr"

build() { "$here/../../scripts/make-msi.sh" "$1" "$2" "$scratch/$3" > /dev/null 2>&1 || fail "the MSI $3 did not build"; }
build "$exe" 1.0.0 vyr-1.0.0.msi
build "$exe" 1.1.0 vyr-1.1.0.msi
build "$failing" 1.0.0 failing.msi
msiexec() { # /i|/x msi: msiexec's exit code (only its low 8 bits reach us)
    "$wine" msiexec "$1" "$(winepath -w "$scratch/$2")" /qn > /dev/null 2>&1
    local code=$?
    wineserver -w
    return $code
}
stores() { "$wine" "$probe" stores | tr -d '\r' | sort; }
# The products in Programs and Features under this name: their versions.
registered() {
    awk '/^\[/ { uninstall = /CurrentVersion\\\\Uninstall\\\\\{/; ours = 0; version = "" }
         uninstall && /^"DisplayName"="Vyr Cert Installer"$/ { ours = 1 }
         uninstall && /^"DisplayVersion"=/ { version = $0 }
         ours && version { split(version, part, "\""); print part[4]; ours = 0; version = "" }' "$WINEPREFIX/system.reg"
}
products() { registered | grep -c .; }
version() { registered | head -n 1; }

expected=$(expected_stores "$certs")
before=$(stores)
with_nine=$(printf '%s\n%s\n' "$before" "$expected" | sort -u)

msiexec /i vyr-1.0.0.msi || fail "the install failed ($?)"
[ -f "$installed/vyr-cert-installer.exe" ] || fail "no program in Program Files\\Vyr"
[ "$(stores)" = "$with_nine" ] || fail "the stores after the install: $(diff <(echo "$with_nine") <(stores))"
[ "$(products)" = 1 ] || fail "$(products) products registered"
msiexec /i vyr-1.0.0.msi || fail "the second install failed ($?)"
[ "$(stores)" = "$with_nine" ] && [ "$(products)" = 1 ] || fail "the second install changed something"
msiexec /x vyr-1.0.0.msi || fail "the uninstall failed ($?)"
[ ! -e "$installed" ] || fail "the uninstall left $(ls -A "$installed")"
[ "$(stores)" = "$before" ] || fail "the stores after the uninstall: $(diff <(echo "$before") <(stores))"
[ "$(products)" = 0 ] || fail "a product is still registered"

# Wine's msiexec says 1627 where Windows says 1603; either way, not 0.
msiexec /i failing.msi && fail "an install whose --install fails succeeded"
[ ! -e "$installed/vyr-cert-installer.exe" ] || fail "the failed install left the program"
[ "$(products)" = 0 ] || fail "the failed install left a product registered"

msiexec /i vyr-1.0.0.msi || fail "the install of 1.0.0 failed ($?)"
msiexec /i vyr-1.1.0.msi || fail "the upgrade to 1.1.0 failed ($?)"
[ "$(products)" = 1 ] && [ "$(version)" = 1.1.0 ] || fail "after the upgrade: $(products) products, version $(version)"
# Under Wine the upgrade also runs the old version's --remove (Windows skips it
# there: UPGRADINGPRODUCTCODE is set); the new version's --install puts them back.
[ "$(stores)" = "$with_nine" ] || fail "the stores after the upgrade: $(diff <(echo "$with_nine") <(stores))"
msiexec /i vyr-1.0.0.msi && fail "the downgrade to 1.0.0 was taken"
[ "$(products)" = 1 ] && [ "$(version)" = 1.1.0 ] || fail "after the refused downgrade: version $(version)"
msiexec /x vyr-1.1.0.msi || fail "the uninstall of 1.1.0 failed ($?)"
[ "$(stores)" = "$before" ] && [ ! -e "$installed" ] || fail "the last uninstall left something"
echo "the MSI: installed, unchanged, uninstalled; a failing --install fails it; upgraded in place, no downgrade"
[ -n "$later" ] || exit 0

verb() { # program verb: its exit code, its lines in $scratch/verb.out
    "$wine" "$1" "$2" 2> /dev/null | tr -d '\r' > "$scratch/verb.out"
    return "${PIPESTATUS[0]}"
}
record() { "$wine" reg query 'HKLM\SOFTWARE\Vyr\Cert Installer' /s 2> /dev/null | tr -d '\r'; }
"$wine" "$probe" add ROOT "$(winepath -w "$certs/Vyr_Root_CA_2.cer")" || fail "the other program's root was not added"
base=$(stores)
with_later=$(printf '%s\n%s\n' "$base" "$(expected_stores "$later_certs")" | sort -u)
verb "$exe" --install || fail "the first release's --install: $(cat "$scratch/verb.out")"
verb "$later" --check
[ $? = 1 ] && [ "$(grep -c ' retired$' "$scratch/verb.out")" = 2 ] || fail "the later --check: $(cat "$scratch/verb.out")"
verb "$later" --install || fail "the later --install: $(cat "$scratch/verb.out")"
[ "$(grep -c ' withdrawn$' "$scratch/verb.out")" = 2 ] && [ "$(grep -c ' added$' "$scratch/verb.out")" = 1 ] \
    || fail "the later --install: $(cat "$scratch/verb.out")"
[ "$(stores)" = "$with_later" ] || fail "the stores after the later --install: $(diff <(echo "$with_later") <(stores))"
record | grep -q 'Vyr_Root_CA_2\.cer.*present before' && [ "$(record | grep -c 'REG_MULTI_SZ.*added')" = 7 ] \
    || fail "the record: $(record)"
verb "$later" --remove && grep -q ' Vyr_Root_CA_2.cer [0-9A-F]* kept$' "$scratch/verb.out" \
    || fail "the later --remove: $(cat "$scratch/verb.out")"
[ "$(stores)" = "$base" ] && ! record | grep -q REG_MULTI_SZ || fail "after --remove: $(diff <(echo "$base") <(stores)); $(record)"

build "$later" 1.2.0 vyr-1.2.0.msi
msiexec /i vyr-1.0.0.msi || fail "the install of 1.0.0 failed ($?)"
msiexec /i vyr-1.2.0.msi || fail "the upgrade to 1.2.0 failed ($?)"
[ "$(stores)" = "$with_later" ] || fail "the stores after the upgrade to 1.2.0: $(diff <(echo "$with_later") <(stores))"
msiexec /x vyr-1.2.0.msi || fail "the uninstall of 1.2.0 failed ($?)"
[ "$(stores)" = "$base" ] || fail "the uninstall of 1.2.0 took what was there before: $(diff <(echo "$base") <(stores))"
echo "the later release: retired said, withdrawn, recorded, the other program's root kept; the MSI upgrade to it leaves its set"
