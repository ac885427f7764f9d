#!/usr/bin/env bash
# Installs every Debian package Tavelo needs to build, test and run.
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build pkg-config g++ clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # windowing toolkit, fonts, headless display
  qt6-base-dev fonts-dejavu-core xvfb xauth xdotool
  # a window manager inside Xvfb, for the end-to-end cases that need focus, title bars and close boxes
  openbox
  # xev: the start-up benchmark (bench/startup_time.sh) watches for the main window with it
  x11-utils
  # picture libraries
  libpng-dev zlib1g-dev libtiff-dev libjpeg-dev libopenjp2-7-dev libgif-dev libxpm-dev
  # movie and sound decoding, sound output, update check
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libpulse-dev libasound2-dev libcurl4-openssl-dev
  # opening documents and web pages with the desktop's programs; checking and starting the file
  # associations' desktop entries as a desktop would (desktop-file-validate, gio launch)
  xdg-utils desktop-file-utils libglib2.0-bin shared-mime-info
  # tools that make and check test media
  ffmpeg imagemagick netpbm sox libopenjp2-tools
  # a locale whose decimal separator is a comma, for the locale-independence tests
  locales
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests check that numbers are written and read with a '.' whatever the locale says: they
# need one locale whose decimal separator is a comma. Generated once; later runs only check.
comma_locale="de_DE.UTF-8"
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "Generating the locale ${comma_locale}"
  if ! grep -qx "${comma_locale} UTF-8" /etc/locale.gen 2>/dev/null; then
    echo "${comma_locale} UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
  fi
  $SUDO locale-gen
fi
