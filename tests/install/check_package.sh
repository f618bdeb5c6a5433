#!/usr/bin/env bash
# Checks a built Debian package without installing it: the paths it must hold and must not hold,
# the files that name installed paths, the systemd unit (systemd-analyze verify), and lintian.
# Usage: check_package.sh DEB
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/varnel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch
expected=(
    /usr/bin/varnel
    /usr/share/man/man1/varnel.1.gz
    /usr/share/bash-completion/completions/varnel
    /usr/lib/systemd/system/varnel@.service
    /usr/share/doc/varnel/copyright
    /usr/share/doc/varnel/changelog.gz
    /usr/share/doc/varnel/README.md
    /usr/share/doc/varnel/examples/60-varnel-scale.rules
    "$lib"/libvarnel_core.a "$lib"/libvarnel_posix.a "$lib"/libvarnel_host.a "$lib"/libvarnel_form.a
    "$lib"/cmake/Varnel/VarnelConfig.cmake "$lib"/cmake/Varnel/VarnelConfigVersion.cmake
    "$lib"/cmake/Varnel/VarnelTargets.cmake
    "$lib"/pkgconfig/varnel.pc "$lib"/pkgconfig/varnel-form.pc
    /usr/include/varnel/control/varnel.h /usr/include/varnel/serial/comm_component.h
    /usr/include/varnel/pages/about_dialog.h /usr/include/varnel/platform/posix/runtime.h
    /usr/include/varnel/host/scale.h /usr/include/varnel/host/form_editor.h
)
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' >"$work/contents"
for path in "${expected[@]}"; do
    grep -qxF "$path" "$work/contents" || fail "$path is missing"
done
if grep -E '^/usr/include/varnel/(tools|tests|datapath|diag)(/|$)|/libvarnel_(sim|cli)' \
    "$work/contents"; then
    fail "holds internal files"
fi
echo "package: $(grep -c . "$work/contents") paths, the ${#expected[@]} expected among them"

dpkg-deb -x "$deb" "$work/root"
grep -qx 'prefix=/usr' "$work/root$lib/pkgconfig/varnel.pc" || fail "varnel.pc does not name /usr"
unit=$work/root/usr/lib/systemd/system/varnel@.service
grep -q '^ExecStart=/usr/bin/varnel monitor --json --device /dev/%I$' "$unit" ||
    fail "unexpected ExecStart in the unit"
"$work/root/usr/bin/varnel" --help >/dev/null || fail "the packaged varnel does not start"

# systemd-analyze checks that ExecStart's program exists: point it at the unpacked one. It
# reports unknown keys and bad values on stderr and may still exit 0, so stderr must be empty.
mkdir "$work/unit"
sed "s|^ExecStart=/usr/bin/varnel|ExecStart=$work/root/usr/bin/varnel|" "$unit" \
    >"$work/unit/varnel@.service"
systemd-analyze verify --man=no "$work/unit/varnel@.service" 2>"$work/verify.log" ||
    { cat "$work/verify.log" >&2; fail "systemd-analyze verify failed"; }
[[ ! -s $work/verify.log ]] || { cat "$work/verify.log" >&2; fail "systemd-analyze verify warned"; }
echo "package: systemd-analyze verify passed; $(systemd-analyze security --offline=yes \
    "$work/unit/varnel@.service" 2>/dev/null | grep -o 'Overall exposure level.*')"

lintian --fail-on error,warning "$deb"
echo "package: lintian passed"
