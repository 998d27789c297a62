#!/usr/bin/env bash
# Builds the Debian package of a build tree and checks it without installing
# anything: its contents and modes (dpkg-deb; the registry file, which holds
# the Kernel password, 0640 and given to the service's group by postinst),
# that the packaged driver accepts the packaged registry file (--check-config
# from an extracted copy: exit 0, or 3 when its only warnings are that the
# unit's directories, which exist on an installed machine, are not writable
# here), the retention of the log (systemd-tmpfiles on a copy), the unit
# (systemd-analyze verify, on a copy whose ExecStart names the extracted
# driver, and its exposure by systemd-analyze security at most 3.0) and
# lintian (no error or warning).
#   tests/package/check_package.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/vd-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "package: $*"; failed=1; }

rm -f "$build"/volterdirect-driver_*.deb
cmake --build "$build" --target package >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$build"/volterdirect-driver_*.deb)
echo "package: $deb"

contents=$(dpkg-deb -c "$deb")
for path in ./usr/sbin/VolterDirectDrv ./usr/bin/vd-cache ./usr/bin/kernel-sim \
  ./usr/bin/transmitter-sim ./usr/lib/systemd/system/O_VolterDirectDrv.service \
  ./etc/lirra/registry.reg ./usr/share/doc/volterdirect-driver/copyright \
  ./usr/share/doc/volterdirect-driver/alerts.yml ./usr/share/doc/volterdirect-driver/prometheus.yml \
  ./usr/lib/tmpfiles.d/volterdirect-driver.conf ./usr/share/man/man8/VolterDirectDrv.8.gz; do
  grep -q " $path\$" <<<"$contents" || fail "missing $path"
done
grep -Eq '^-rw-r----- root/root .* \./etc/lirra/registry\.reg$' <<<"$contents" ||
  fail "registry.reg is not 0640 root: $(grep registry.reg <<<"$contents")"
control=$(dpkg-deb -I "$deb")
for part in postinst prerm postrm conffiles "Depends: adduser"; do
  grep -q "$part" <<<"$control" || fail "control lacks $part"
done

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do sh -n "$work/control/$script" || fail "$script: syntax"; done
grep -qx /etc/lirra/registry.reg "$work/control/conffiles" || fail "registry.reg is no conffile"
grep -q 'chown root:volterdirect /etc/lirra/registry.reg' "$work/control/postinst" ||
  fail "postinst does not give registry.reg to the service's group"

status=0
check=$("$work/root/usr/sbin/VolterDirectDrv" --check-config \
  --registry "$work/root/etc/lirra/registry.reg" 2>&1) || status=$?
case $status in
  0) ;;
  3) others=$(grep -i 'warning' <<<"$check" | grep -viE 'writ' || true)
    [ -z "$others" ] || fail "--check-config warns of more than the unit's directories: $check" ;;
  *) fail "--check-config (exit $status): $check" ;;
esac
grep -q "Cache directory *\/var\/lib\/volterdirect\/Temp\/VolterDirectDrv_Cache\/" <<<"$check" ||
  fail "the packaged registry does not use the unit's StateDirectory: $check"
grep -q "LogPath *\/var\/log\/volterdirect\/" <<<"$check" ||
  fail "the packaged registry does not use the unit's LogsDirectory"

# Retention: a numbered log file last written 31 days ago goes, a newer one
# and the directory stay.
logs="$work/root/var/log/volterdirect"
mkdir -p "$logs"
touch -d '31 days ago' "$logs/VolterDirectDrv_0001.txt"
touch -d '29 days ago' "$logs/VolterDirectDrv_0002.txt"
systemd-tmpfiles --clean --root="$work/root" "$work/root/usr/lib/tmpfiles.d/volterdirect-driver.conf" ||
  fail "systemd-tmpfiles refuses the retention rule"
[ "$(ls "$logs")" = VolterDirectDrv_0002.txt ] || fail "retention left: $(ls "$logs")"

unit="$work/unit/O_VolterDirectDrv.service"
mkdir -p "$work/unit"
sed "s|^ExecStart=/usr/sbin/|ExecStart=$work/root/usr/sbin/|" \
  "$work/root/usr/lib/systemd/system/O_VolterDirectDrv.service" >"$unit"
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify failed"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
security=$(systemd-analyze security --offline=true --threshold=30 "$unit" 2>&1) ||
  fail "the unit's exposure is above 3.0: $(tail -n 1 <<<"$security")"
echo "package: $(grep -o 'Overall exposure level.*' <<<"$security")"

lintian_out=$(lintian "$deb" 2>&1 | grep -v '^running with root privileges' || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
grep -q '^[EW]:' <<<"$lintian_out" && fail "lintian reports errors or warnings"

[ "$failed" = 0 ] && echo "package: contents, --check-config, retention, unit and lintian are clean"
exit "$failed"
