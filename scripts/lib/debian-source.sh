# fetch_debian_source PACKAGE DEST: unpacks Debian's source package into DEST
# (DEST/<package>-<version>/) with a private apt configuration, so the
# system's sources lists are never changed. The archive is the one the
# system already uses for binary packages.
fetch_debian_source() {
  local package=$1 dest=$2
  local aptdir="$root/.cache/apt"
  mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial" "$dest"
  if [ ! -s "$aptdir/sources.list.d/debian-src.list" ]; then
    printf 'deb-src http://deb.debian.org/debian bookworm main\n' > "$aptdir/sources.list.d/debian-src.list"
  fi
  local opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
              -o "Dir::State::Lists=$aptdir/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
              -o APT::Sandbox::User=root)
  if ! ls "$aptdir/lists/"*Sources* >/dev/null 2>&1; then
    apt-get "${opts[@]}" update -qq
  fi
  (cd "$dest" && apt-get "${opts[@]}" source -qq "$package")
}
