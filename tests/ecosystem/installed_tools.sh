#!/usr/bin/env bash
# The installed programs and the Python module work from a prefix of their
# own (as /opt/vq6120) with nothing set in the environment: the programs find
# the library through their RUNPATH, the module through the install's record
# of where the library went. Then the module as `pip install ./python` builds
# it offline, finding the library through VQ6120_LIB_PATH naming its folder.
#   installed_tools.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
work="$build/installed-check"
rm -rf "$work"
prefix="$work/opt/vq6120"
cmake --install "$build" --prefix "$prefix" >/dev/null
unset LD_LIBRARY_PATH VQ6120_LIB_PATH PYTHONPATH

loaded=$(ldd "$prefix/bin/vq6120")
grep -q "=> $prefix/bin/../lib/libVQ6120_LIB.so.1" <<<"$loaded" || { echo "vq6120 does not load the prefix's library:"; echo "$loaded"; exit 1; }
"$here/with_simulator.sh" "$prefix/bin/vq6120-sim" "$prefix/bin/vq6120" probe @HOST@:@PORT@

# The gateway's systemd unit runs this prefix's program on this prefix's
# configuration folder, and its sample configuration comes along.
unit="$prefix/lib/systemd/system/vq6120-gateway@.service"
grep -qx "ExecStart=$prefix/bin/vq6120-gateway $prefix/etc/vq6120/%i.json" "$unit" ||
  { echo "the installed unit does not run $prefix/bin/vq6120-gateway on $prefix/etc/vq6120:"; cat "$unit"; exit 1; }
"$prefix/bin/vq6120-gateway" --check "$prefix/share/doc/vq6120-tools/examples/gateway.json" >/dev/null

probe='import sys, vq6120
with vq6120.Terminal(sys.argv[1], int(sys.argv[2])) as t:
    assert t.probe(2), "no answer"
print("python:", vq6120.load_library()._name)'
PYTHONPATH="$prefix/lib/python3/dist-packages" \
  "$here/with_simulator.sh" "$prefix/bin/vq6120-sim" python3 -c "$probe" @HOST@ @PORT@

# pip builds in the source folder: build from a copy. Offline, the build
# takes the system's setuptools and wheel (Debian's python3, scripts/setup.sh).
cp -r "$source/python" "$work/python-source"
python=$(command -v /usr/bin/python3 || command -v python3)
"$python" -m pip install -q --no-build-isolation --no-index --no-deps --target "$work/pip" "$work/python-source" \
  2> >(grep -v "as the 'root' user" >&2)
PYTHONPATH="$work/pip" VQ6120_LIB_PATH="$prefix/lib" \
  "$here/with_simulator.sh" "$prefix/bin/vq6120-sim" "$python" -c "$probe" @HOST@ @PORT@
