#!/usr/bin/env bash
# Tests of the browser kit: the client, the extension's relay and the registration script
# with Node's test runner, then the whole kit in headless Debian Chromium against the host
# in build/bin. Installs Chromium (Debian's) and playwright-core (npm) when missing.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(cd .. && pwd)

missing=()
[ -x /usr/bin/chromium ] || missing+=(chromium)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300)
  "${apt[@]}" update -qq
  "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi

# playwright-core only drives the browser; it never downloads one.
if [ ! -f node_modules/playwright-core/package.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "== npm install (playwright-core)"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --no-audit --no-fund --loglevel=error
fi

echo "== browser kit: unit tests"
node --test client/index.test.js extension/relay.test.js register.test.js

host=${LUMRA_HOST_BIN:-$ROOT/build/bin/lumra-scan-host}
[ -x "$host" ] || { echo "no host at $host: build it first (./run build)" >&2; exit 1; }
out=${LUMRA_BROWSER_OUT:-$ROOT/build/browser-test}
echo "== browser kit: end to end in headless Chromium"
LUMRA_EXTENSION_DIR=${LUMRA_EXTENSION_DIR:-$(dirname "$host")/../browser-extension} \
  LUMRA_HOST_BIN=$host LUMRA_BROWSER_OUT=$out node --test e2e/browser.test.js
echo "screenshot: $out/demo-after-scan.png"
