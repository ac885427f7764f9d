#!/usr/bin/env bash
# Fetches the real-file corpus: the media that small Debian packages ship (pictures, sounds,
# movies) and the picture test set of the pillow source package. Nothing is installed: each
# package is downloaded and unpacked into DIR (outside the repository), and only its media files
# are kept, under DIR/media/<package>/.
#
#   bench/corpus/fetch.sh DIR
#
# Needs apt-get and dpkg-deb; the source package is fetched through a private source list kept in
# DIR, so the machine's own apt set-up is left as it is.
set -euo pipefail
dir=${1:?usage: fetch.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
packages=(gdk-pixbuf-tests sound-theme-freedesktop k3b-data devede gnome-mahjongg python3-mecavideo xine-ui
          gnome-chess gnome-mines sound-icons pysycache-sounds kdegames-card-data-kf5)
media='\.(bmp|gif|tga|pcx|png|jpe?g|tiff?|pbm|pgm|ppm|pnm|pam|ras|sun|sgi|rgb|xpm|fli|flc|avi|mpe?g|m2v|mp4|wav|ogg|oga|ogv|mp3|j2k|jp2|wmv|wma|ico)$'

mkdir -p "$dir/debs" "$dir/unpacked" "$dir/media"
cd "$dir/debs"
for p in "${packages[@]}"; do
  ls "$p"_*.deb >/dev/null 2>&1 || apt-get download "$p" || echo "fetch: $p not available" >&2
done
for deb in *.deb; do
  name=${deb%%_*}
  [ -d "$dir/unpacked/$name" ] || dpkg-deb -x "$deb" "$dir/unpacked/$name"
done

# The pillow source package's test pictures, through a private source list.
apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
printf 'deb-src http://deb.debian.org/debian bookworm main\n' > "$apt_dir/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=-"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives")
mkdir -p "$dir/src"
if ! ls "$dir"/src/pillow_*.orig.tar.* >/dev/null 2>&1; then
  apt-get "${apt_opts[@]}" update >/dev/null
  (cd "$dir/src" && apt-get "${apt_opts[@]}" source --download-only pillow)
fi
if [ ! -d "$dir/unpacked/pillow" ]; then
  mkdir -p "$dir/unpacked/pillow"
  tar -xf "$(ls "$dir"/src/pillow_*.orig.tar.* | head -1)" -C "$dir/unpacked/pillow" --wildcards '*/Tests/images/*'
fi

# Keep the media, one folder per package, names flattened (path separators become "__").
for u in "$dir"/unpacked/*/; do
  name=$(basename "$u")
  mkdir -p "$dir/media/$name"
  (cd "$u" && find . -type f | grep -Ei "$media" || true) | while read -r f; do
    flat=$(echo "${f#./}" | sed 's|/|__|g')
    [ -e "$dir/media/$name/$flat" ] || cp "$u/$f" "$dir/media/$name/$flat"
  done
done
find "$dir/media" -type f | wc -l | sed 's/^/fetch: media files: /'
