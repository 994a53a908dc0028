<#
.SYNOPSIS
Registers (or unregisters) the scanning host with Chrome, Chromium, Edge and Firefox for the
current Windows user: writes the native-messaging manifests and the HKCU registry keys that
point to them.

.EXAMPLE
powershell -ExecutionPolicy Bypass -File register.ps1 -HostPath C:\lumra\lumra-scan-host.exe
.EXAMPLE
powershell -File register.ps1 -Browser chrome,firefox -ExtensionId abcdefghijklmnopabcdefghijklmnop -FirefoxId scan@example.com
.EXAMPLE
powershell -File register.ps1 -Unregister
#>
[CmdletBinding()]
param(
  # The host executable (default: lumra-scan-host.exe next to this script, then build\bin).
  [string]$HostPath,
  # Chrome/Chromium/Edge extension ids allowed to start the host (default: the sample extension).
  [string[]]$ExtensionId = @('bebjjoghbeoiaaikohkeaamlnbghlpcd'),
  # Firefox extension ids allowed to start the host; Firefox is skipped when none is given.
  [string[]]$FirefoxId = @(),
  # chrome, chromium, edge, firefox or all.
  [string[]]$Browser = @('all'),
  [string]$Name = 'lumra.scan_host',
  # Folder for the manifests (default: %LOCALAPPDATA%\Lumra\NativeMessagingHosts).
  [string]$ManifestDir = (Join-Path $env:LOCALAPPDATA 'Lumra\NativeMessagingHosts'),
  [switch]$Unregister
)
$ErrorActionPreference = 'Stop'

$registryRoots = [ordered]@{
  chrome   = 'HKCU:\Software\Google\Chrome\NativeMessagingHosts'
  chromium = 'HKCU:\Software\Chromium\NativeMessagingHosts'
  edge     = 'HKCU:\Software\Microsoft\Edge\NativeMessagingHosts'
  firefox  = 'HKCU:\Software\Mozilla\NativeMessagingHosts'
}

# -c: case-sensitive; \z: '$' would also accept a trailing newline.
if ($Name -cnotmatch '^[a-z0-9_]+(\.[a-z0-9_]+)*\z') {
  throw "Host name must be lower case letters, digits and _ in dot-separated parts: $Name"
}
$Browser = @($Browser | ForEach-Object { $_ -split ',' } | ForEach-Object { $_.Trim().ToLowerInvariant() } | Where-Object { $_ })
foreach ($b in $Browser) {
  if ($b -ne 'all' -and -not $registryRoots.Contains($b)) { throw "Unknown browser: $b (chrome, chromium, edge, firefox, all)" }
}
$chosen = if ($Browser -contains 'all') { @($registryRoots.Keys) } else { $Browser }

if ($Unregister) {
  foreach ($b in $chosen) {
    $key = Join-Path $registryRoots[$b] $Name
    if (Test-Path $key) { Remove-Item $key -Recurse; Write-Host "removed $key" }
  }
  foreach ($file in @("$Name.json", "$Name.firefox.json")) {
    $p = Join-Path $ManifestDir $file
    if (Test-Path $p) { Remove-Item $p; Write-Host "removed $p" }
  }
  return
}

foreach ($id in $ExtensionId) {
  if ($id -cnotmatch '^[a-p]{32}\z') { throw "Not a Chrome extension id (32 letters a-p): $id" }
}
foreach ($id in $FirefoxId) {
  if ($id -cnotmatch '^(\{[0-9a-fA-F-]{36}\}|[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+)\z') { throw "Not a Firefox extension id (name@domain or {uuid}): $id" }
}
if ($chosen -contains 'firefox' -and $FirefoxId.Count -eq 0) {
  if ($Browser -contains 'firefox') { throw 'Firefox needs -FirefoxId (the id in its extension''s manifest)' }
  Write-Warning 'No -FirefoxId given: Firefox skipped'
  $chosen = @($chosen | Where-Object { $_ -ne 'firefox' })
}

if (-not $HostPath) {
  $candidates = @((Join-Path $PSScriptRoot 'lumra-scan-host.exe'), (Join-Path $PSScriptRoot '..\build\bin\lumra-scan-host.exe'))
  $HostPath = $candidates | Where-Object { Test-Path $_ } | Select-Object -First 1
  if (-not $HostPath) { throw "No host found; give -HostPath (looked at: $($candidates -join ', '))" }
}
if (-not (Test-Path $HostPath -PathType Leaf)) { throw "No host at $HostPath" }
$HostPath = (Resolve-Path $HostPath).ProviderPath

New-Item -ItemType Directory -Force -Path $ManifestDir | Out-Null

function Write-Manifest([string]$path, [string]$allowedKey, [string[]]$allowed) {
  $manifest = [ordered]@{
    name        = $Name
    description = 'Lumra document scanning host'
    path        = $HostPath
    type        = 'stdio'
  }
  $manifest[$allowedKey] = @($allowed)
  # UTF-8 without a byte order mark: browsers read the manifest as plain JSON.
  $json = $manifest | ConvertTo-Json -Depth 3
  [System.IO.File]::WriteAllText($path, $json, (New-Object System.Text.UTF8Encoding($false)))
  Write-Host "wrote $path"
}

$chromeManifest = Join-Path $ManifestDir "$Name.json"
$firefoxManifest = Join-Path $ManifestDir "$Name.firefox.json"
if (@($chosen | Where-Object { $_ -ne 'firefox' }).Count -gt 0) {
  Write-Manifest $chromeManifest 'allowed_origins' @($ExtensionId | ForEach-Object { "chrome-extension://$_/" })
}
if ($chosen -contains 'firefox') {
  Write-Manifest $firefoxManifest 'allowed_extensions' $FirefoxId
}

foreach ($b in $chosen) {
  $key = Join-Path $registryRoots[$b] $Name
  New-Item -Path $key -Force | Out-Null
  $target = if ($b -eq 'firefox') { $firefoxManifest } else { $chromeManifest }
  Set-Item -Path $key -Value $target
  Write-Host "set $key = $target"
}
