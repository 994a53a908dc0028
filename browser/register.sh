#!/usr/bin/env bash
# Registers (or unregisters) the scanning host with the browsers of this Linux machine.
set -euo pipefail
# What we write is read by browsers of every user (--system) and must not be changed by others.
umask 022

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NAME=lumra.scan_host
# Id of the sample extension in browser/extension (fixed by its manifest's key).
SAMPLE_EXTENSION_ID=bebjjoghbeoiaaikohkeaamlnbghlpcd
WRAPPER_MARK='# lumra-scan host launcher'

usage() {
  cat <<EOF
usage: $(basename "$0") [options]

Writes the native-messaging manifest of the scanning host for each chosen browser.

  --browser LIST        comma-separated: chrome, chromium, edge, firefox, all (default: all)
  --extension-id ID     Chrome/Chromium/Edge extension allowed to start the host (repeatable;
                        default: the sample extension $SAMPLE_EXTENSION_ID)
  --firefox-id ID       Firefox extension id allowed to start the host (repeatable; Firefox is
                        skipped when none is given and --browser is all)
  --host PATH           the host executable (default: build/bin/lumra-scan-host)
  --system              write the system-wide manifests (needs root) instead of per-user ones
  --user-data-dir DIR   a Chromium-family profile folder: write DIR/NativeMessagingHosts only
  --env NAME=VALUE      start the host through a launcher script that sets this variable
                        (repeatable)
  --name NAME           host name (default: $NAME)
  --unregister          remove the manifests (and launchers) instead
  -h, --help            this text
EOF
}

die() { echo "register: $*" >&2; exit 2; }

browsers=all system=0 unregister=0 user_data_dir='' host=''
chrome_ids=() firefox_ids=() envs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --browser) [ $# -ge 2 ] || die "$1 needs a value"; browsers=$2; shift 2 ;;
    --extension-id) [ $# -ge 2 ] || die "$1 needs a value"; chrome_ids+=("$2"); shift 2 ;;
    --firefox-id) [ $# -ge 2 ] || die "$1 needs a value"; firefox_ids+=("$2"); shift 2 ;;
    --host) [ $# -ge 2 ] || die "$1 needs a value"; host=$2; shift 2 ;;
    --system) system=1; shift ;;
    --user-data-dir) [ $# -ge 2 ] || die "$1 needs a value"; user_data_dir=$2; shift 2 ;;
    --env) [ $# -ge 2 ] || die "$1 needs a value"; envs+=("$2"); shift 2 ;;
    --name) [ $# -ge 2 ] || die "$1 needs a value"; NAME=$2; shift 2 ;;
    --unregister) unregister=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown option: $1" ;;
  esac
done

[[ $NAME =~ ^[a-z0-9_]+(\.[a-z0-9_]+)*$ ]] || die "host name must be lower case letters, digits and _ in dot-separated parts: $NAME"
for id in "${chrome_ids[@]}"; do
  [[ $id =~ ^[a-p]{32}$ ]] || die "not a Chrome extension id (32 letters a-p): $id"
done
for id in "${firefox_ids[@]}"; do
  [[ $id =~ ^(\{[0-9a-fA-F-]{36}\}|[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+)$ ]] || die "not a Firefox extension id (name@domain or {uuid}): $id"
done
for e in "${envs[@]}"; do
  [[ $e =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || die "--env wants NAME=VALUE: $e"
done
[ ${#chrome_ids[@]} -gt 0 ] || chrome_ids=("$SAMPLE_EXTENSION_ID")

# Browsers chosen.
want_chrome=0 want_chromium=0 want_edge=0 want_firefox=0 firefox_explicit=0
IFS=, read -r -a list <<<"$browsers"
for b in "${list[@]}"; do
  case "$b" in
    all) want_chrome=1 want_chromium=1 want_edge=1 want_firefox=1 ;;
    chrome) want_chrome=1 ;;
    chromium) want_chromium=1 ;;
    edge) want_edge=1 ;;
    firefox) want_firefox=1 firefox_explicit=1 ;;
    *) die "unknown browser: $b (chrome, chromium, edge, firefox, all)" ;;
  esac
done
if [ -n "$user_data_dir" ]; then
  [ $system = 0 ] || die "--user-data-dir and --system exclude each other"
  want_chrome=0 want_edge=0 want_firefox=0 want_chromium=1
fi
if [ $want_firefox = 1 ] && [ ${#firefox_ids[@]} -eq 0 ] && [ $unregister = 0 ]; then
  [ $firefox_explicit = 0 ] || die "Firefox needs --firefox-id (the id in its extension's manifest)"
  echo "register: no --firefox-id given, Firefox skipped" >&2
  want_firefox=0
fi
if [ $system = 1 ] && [ "$(id -u)" -ne 0 ]; then
  die "--system writes under /etc and /usr/lib: run it as root (sudo $0 ...)"
fi

# Folder of each browser's manifests.
chromium_dirs=() firefox_dirs=()
if [ -n "$user_data_dir" ]; then
  chromium_dirs+=("$(mkdir -p "$user_data_dir" && cd "$user_data_dir" && pwd)/NativeMessagingHosts")
elif [ $system = 1 ]; then
  [ $want_chrome = 0 ] || chromium_dirs+=(/etc/opt/chrome/native-messaging-hosts)
  [ $want_chromium = 0 ] || chromium_dirs+=(/etc/chromium/native-messaging-hosts)
  [ $want_edge = 0 ] || chromium_dirs+=(/etc/opt/edge/native-messaging-hosts)
  [ $want_firefox = 0 ] || firefox_dirs+=(/usr/lib/mozilla/native-messaging-hosts)
else
  config=${XDG_CONFIG_HOME:-$HOME/.config}
  [ $want_chrome = 0 ] || chromium_dirs+=("$config/google-chrome/NativeMessagingHosts")
  [ $want_chromium = 0 ] || chromium_dirs+=("$config/chromium/NativeMessagingHosts")
  [ $want_edge = 0 ] || chromium_dirs+=("$config/microsoft-edge/NativeMessagingHosts")
  [ $want_firefox = 0 ] || firefox_dirs+=("$HOME/.mozilla/native-messaging-hosts")
fi

# JSON string of a text (paths and ids only: no control characters).
json_string() {
  local s=$1
  [[ ! $s =~ [[:cntrl:]] ]] || die "control character in: $s"
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  printf '"%s"' "$s"
}

json_list() {  # prefix suffix items...
  local prefix=$1 suffix=$2 out='' sep=''
  shift 2
  for item in "$@"; do out+="$sep$(json_string "$prefix$item$suffix")"; sep=', '; done
  printf '[%s]' "$out"
}

unregister_from() {  # dir
  local dir=$1 removed=0
  if [ -f "$dir/$NAME.json" ]; then rm -f "$dir/$NAME.json"; removed=1; fi
  if [ -f "$dir/$NAME.sh" ] && grep -qxF "$WRAPPER_MARK" "$dir/$NAME.sh"; then rm -f "$dir/$NAME.sh"; fi
  [ $removed = 0 ] || echo "removed $dir/$NAME.json"
}

register_in() {  # dir allowed-key allowed-json
  local dir=$1 key=$2 allowed=$3 target=$host
  mkdir -p "$dir"
  if [ ${#envs[@]} -gt 0 ]; then
    target="$dir/$NAME.sh"
    {
      echo '#!/bin/sh'
      echo "$WRAPPER_MARK"
      for e in "${envs[@]}"; do printf 'export %s=%q\n' "${e%%=*}" "${e#*=}"; done
      printf 'cd %q || exit 1\n' "$(dirname "$host")"
      printf 'exec %q "$@"\n' "$host"
    } >"$target.tmp"
    chmod 755 "$target.tmp"
    mv "$target.tmp" "$target"
  elif [ -f "$dir/$NAME.sh" ] && grep -qxF "$WRAPPER_MARK" "$dir/$NAME.sh"; then
    rm -f "$dir/$NAME.sh"
  fi
  cat >"$dir/$NAME.json.tmp" <<EOF
{
  "name": $(json_string "$NAME"),
  "description": "Lumra document scanning host",
  "path": $(json_string "$target"),
  "type": "stdio",
  $(json_string "$key"): $allowed
}
EOF
  chmod 644 "$dir/$NAME.json.tmp"
  mv "$dir/$NAME.json.tmp" "$dir/$NAME.json"
  echo "wrote $dir/$NAME.json"
}

if [ $unregister = 1 ]; then
  for d in "${chromium_dirs[@]}" "${firefox_dirs[@]}"; do unregister_from "$d"; done
  exit 0
fi

host=${host:-$ROOT/build/bin/lumra-scan-host}
case "$host" in /*) ;; *) host="$PWD/$host" ;; esac
[ -f "$host" ] || die "no host at $host (build it with ./run build, or give --host)"
[ -x "$host" ] || die "the host is not executable: $host"
if [ $system = 1 ]; then
  # Every user's browser would start it: nobody but root may change the host, the libraries
  # and sources beside it, or any folder above it.
  host_dir=$(dirname "$(realpath -e "$host")")
  # Files beside it (and twain/ sources), then each folder above; sticky ones like /tmp are fine.
  bad=$(find "$host_dir" -maxdepth 2 ! -type l \( ! -uid 0 -o -perm /022 \) -print -quit)
  p=$host_dir
  while [ -z "$bad" ] && [ "$p" != / ]; do
    p=$(dirname "$p")
    bad=$(find "$p" -maxdepth 0 \( ! -uid 0 -o \( -perm /022 ! -perm -1000 \) \) -print)
  done
  [ -z "$bad" ] || die "--system needs a host that only root can change, but a non-root user can change $bad (install a copy under /opt or /usr/local)"
fi

chrome_allowed=$(json_list chrome-extension:// / "${chrome_ids[@]}")
for d in "${chromium_dirs[@]}"; do register_in "$d" allowed_origins "$chrome_allowed"; done
if [ ${#firefox_dirs[@]} -gt 0 ]; then
  firefox_allowed=$(json_list '' '' "${firefox_ids[@]}")
  for d in "${firefox_dirs[@]}"; do register_in "$d" allowed_extensions "$firefox_allowed"; done
fi
