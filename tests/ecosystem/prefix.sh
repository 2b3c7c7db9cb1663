# Sourced by the installed-consumer checks. usable_prefix BUILD WORK PCNAME
# [PREFIX]: a fresh WORK folder and the prefix to build against (PREFIX when
# given, e.g. an unpacked -dev package, else the build installed into
# WORK/prefix); sets `prefix`, and `libdir` (where PCNAME.pc's pkgconfig
# folder is) with PKG_CONFIG_PATH naming it.
usable_prefix() {
  local build=$1 work=$2 pcname=$3 pcfile
  rm -rf "$work"
  if [ $# -ge 4 ]; then
    prefix=$(realpath "$4")
  else
    prefix="$work/prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
  fi
  pcfile=$(find "$prefix" -name "$pcname.pc" | head -n1)
  [ -n "$pcfile" ] || { echo "no $pcname.pc under $prefix" >&2; return 1; }
  libdir=$(dirname "$(dirname "$pcfile")")
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
}
