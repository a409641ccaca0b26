#!/usr/bin/env bash
# Installs the Debian packages TrayTape needs to build, run and test, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libpulse-dev
)
if [ "${1:-}" = "--test" ]; then
  # The sound-server suites run on a private PulseAudio and on a private
  # PipeWire (pipewire, wireplumber, pipewire-pulse on a session bus of its own).
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev pulseaudio pulseaudio-utils ffmpeg sox
             pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
             xvfb xauth x11-utils xdotool imagemagick bc time trayer strace
             dpkg-dev file lintian desktop-file-utils appstream
             clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
