#!/usr/bin/env bash
# install_test.sh BUILD_DIR: installs the build tree into a temporary prefix
# and checks what a desktop and the user's service manager make of it: the
# applications-menu entry and the user unit pass their validators, both
# start the agent installed under that prefix, and the icons are in the
# hicolor theme. The prefix has a blank in its name, as a home folder may.
set -euo pipefail

build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/install root"

if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "FAIL: cmake --install did not finish" >&2
  exit 1
fi

failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

agent="$prefix/bin/vantle-agent"
entry="$prefix/share/applications/orvane-vantle-agent.desktop"
unit="$prefix/share/systemd/user/orvane-vantle-agent.service"
icons="$prefix/share/icons/hicolor/scalable/apps"

[ -x "$agent" ] || fail "no agent at $agent"
[ -f "$entry" ] || fail "no applications-menu entry at $entry"
[ -f "$unit" ] || fail "no user unit at $unit"

desktop-file-validate "$entry" || fail "desktop-file-validate rejects the entry"

# The user manager's tools need a runtime folder of the user's own.
mkdir -m 0700 "$work/runtime"
if ! XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify "$unit" >"$work/verify.log" 2>&1; then
  cat "$work/verify.log" >&2
  fail "systemd-analyze verify rejects the unit"
fi

# The program a line starts, the way its reader splits it: double quotes
# group, a backslash escapes the next character.
program() {
  local text=$1 word="" quoted=0 i c
  for ((i = 0; i < ${#text}; i++)); do
    c=${text:i:1}
    if [ "$c" = "\\" ]; then
      i=$((i + 1))
      word+=${text:i:1}
    elif [ "$c" = '"' ]; then
      quoted=$((1 - quoted))
    elif [ "$c" = " " ] && [ $quoted -eq 0 ]; then
      break
    else
      word+=$c
    fi
  done
  printf '%s' "$word"
}

exec_line=$(sed -n 's/^Exec=//p' "$entry")
[ "$(program "$exec_line")" = "$agent" ] ||
  fail "the entry starts '$(program "$exec_line")', not $agent (Exec=$exec_line)"
start_line=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$(program "$start_line")" = "$agent" ] ||
  fail "the unit starts '$(program "$start_line")', not $agent (ExecStart=$start_line)"
case "$start_line" in
  *" --headless") ;;
  *) fail "the unit does not run the agent headless (ExecStart=$start_line)" ;;
esac

for name in orvane-vantle-aperture orvane-vantle-metering-none orvane-vantle-warning orvane-vantle-warning-filled; do
  grep -q "<svg" "$icons/$name.svg" 2>/dev/null || fail "no SVG icon $icons/$name.svg"
done
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "$icons/$icon.svg" ] || fail "the entry's icon $icon is not installed"

if [ $failed -ne 0 ]; then exit 1; fi
echo "installed and checked under $prefix"
