#!/usr/bin/env bash
# Installs what building and testing tarnwick needs on Debian 12.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libvips-dev libtesseract-dev libleptonica-dev libicu-dev
  # the decoder children's libraries
  libgdk-pixbuf-2.0-dev libmagickcore-6.q16-dev libopenexr-dev libpoppler-glib-dev librsvg2-dev libcairo2-dev
  libseccomp-dev
  tesseract-ocr-eng
  libopencv-dev nettle-dev
  libgtest-dev libgmock-dev nlohmann-json3-dev fonts-dejavu-core
  # the tests' schema validator and the encoders they write other formats with;
  # what CPack needs to compute the .deb's dependencies
  python3-jsonschema imagemagick python3-pil dpkg-dev file
)

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_if_needed apt-get update -qq
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
