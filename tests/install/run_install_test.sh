#!/usr/bin/env bash
# Installs the build into a staging prefix, then builds a host and a plug-in
# against that installed tree only (find_package through CMAKE_PREFIX_PATH,
# and the host once more through pkg-config), as a distribution would, and
# checks what came out: SONAMEs, no RUNPATH and no path of the build, the
# plug-in's exports and version stamp, its update list fragment merged with
# ours in one plug-in folder, each install component alone, and a run of the
# host that loads the plug-in through the library and unloads it again.
#
# Usage: run_install_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER "SANITIZER FLAGS"
set -euo pipefail
build=$1 source=$2 cxx=$3 sanitize=${4:-}
work=$build/install-test
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
stage=$work/stage
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
export PKG_CONFIG_PATH=$stage/lib/pkgconfig:$(ls -d "$stage"/lib/*/pkgconfig 2>/dev/null | tr '\n' ':')
# The .pc files name the configured prefix, so that pkg-config drops system
# folders from its output; a staged tree is read with that prefix replaced.
pc() { pkg-config --define-variable=prefix="$stage" "$@"; }
libdir=$(realpath "$(pc --variable=libdir nimbrel)")
[[ $libdir == "$stage"/* ]] || fail "pkg-config's libdir $libdir is not in the staging prefix"
cflags=$(pc --cflags meridex)
[[ $cflags == *-std=c++20* ]] || fail "meridex's pkg-config flags lack nimbrel's C++ standard: $cflags"
[[ $cflags != */../* ]] || fail "pkg-config's paths are not plain: $cflags"

# Versioned libraries: a host records the SONAME, not the file name.
for lib in nimbrel meridex; do
  [[ -f $libdir/lib$lib.so.0.1.0 && -L $libdir/lib$lib.so.0 && -L $libdir/lib$lib.so ]] || fail "lib$lib.so.0.1.0 and its links are not installed"
  readelf -d "$libdir/lib$lib.so.0.1.0" | grep -q "SONAME.*\[lib$lib\.so\.0\]" || fail "lib$lib has no SONAME lib$lib.so.0"
  if readelf -d "$libdir/lib$lib.so.0.1.0" | grep -Eq 'RPATH|RUNPATH'; then fail "lib$lib carries a run path"; fi
done
# Nothing installed remembers where it was built (two builds in different
# folders must give the same files). Not asked of a sanitizer's build: its
# reports carry source paths that the compiler's folder maps do not reach,
# and it is never shipped.
if [[ -z $sanitize ]]; then
  leaks=$(grep -rlF -e "$(realpath "$source")" -e "$(realpath "$build")" "$stage" || true)
  [[ -z $leaks ]] || fail "installed files name the source or build folder: $leaks"
fi

# Each install component alone; together they are the whole installation,
# and nothing is left outside them.
for component in Runtime Development Plugins Tools Server Unspecified; do
  cmake --install "$build" --component "$component" --prefix "$work/components/$component" >>"$work/install.log" ||
    fail "the component $component did not install alone"
done
[[ ! -e $work/components/Unspecified ]] || fail "files outside every component: $(cd "$work/components/Unspecified" && find . ! -type d)"
whole=$(cd "$stage" && find . ! -type d | sort)
parts=$(for c in Runtime Development Plugins Tools Server; do (cd "$work/components/$c" && find . ! -type d); done | sort)
[[ $whole == "$parts" ]] || fail "the components differ from the whole installation: $(diff <(echo "$whole") <(echo "$parts"))"
for c in Runtime Development Plugins Tools Server; do
  [[ -n $(cd "$work/components/$c" && find . ! -type d) ]] || fail "the component $c is empty"
done
bash "$source/tests/interface/check_exports.sh" "$libdir/libnimbrel.so.0"

# The separate project: host and plug-in, installed into a prefix of their own.
flags=()
if [[ -n $sanitize ]]; then
  flags=("-DCMAKE_CXX_FLAGS=-fsanitize=$sanitize -fno-omit-frame-pointer" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$sanitize")
fi
cmake -S "$source/tests/install/project" -B "$work/project" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_INSTALL_PREFIX="$work/plugins" \
  "${flags[@]}" >"$work/configure.log" || { cat "$work/configure.log"; fail "the project did not configure"; }
cmake --build "$work/project" >"$work/build.log" || { cat "$work/build.log"; fail "the project did not build"; }
cmake --install "$work/project" >>"$work/build.log" || { cat "$work/build.log"; fail "the project did not install"; }
host=$work/project/install_host
readelf -d "$host" | grep -q 'NEEDED.*\[libnimbrel\.so\.0\]' || fail "the host does not depend on libnimbrel.so.0"

# The plug-in: named as the registry expects, only its entry point exported,
# its version stamp present; listed in its update list.
module=$(find "$work/plugins" -path '*/General/InstallProbe.so')
[[ -n $module ]] || fail "InstallProbe.so is not installed in a General folder"
exported=$(nm -D --defined-only "$module" | awk '{print $3}')
[[ $exported == GetDllInterface ]] || fail "the plug-in exports more than GetDllInterface: $exported"
readelf -x .nimbrel_version "$module" | grep -q 'NIMBVER1' || fail "the plug-in has no version stamp"
list=$(dirname "$(dirname "$module")")/update.xml
grep -q '<DLL Name="InstallProbe" Version="3.1.4.1"' "$list" || { cat "$list"; fail "the update list lacks the plug-in"; }
grep -q '<DLLURL>http://127.0.0.1:9/plugins/General/InstallProbe.so</DLLURL>' "$list" || { cat "$list"; fail "wrong download address"; }
grep -q '<Priority>7</Priority>' "$list" || { cat "$list"; fail "the update list lacks the priority"; }
# The build tree's own list, for serving the build tree.
grep -q '<DLLURL>http://127.0.0.1:9/build/General/InstallProbe.so</DLLURL>' "$work/project/nimbrel-plugins/update.xml" ||
  fail "the build tree's update list is missing or wrong"

run_host() {
  local name=$1 binary=$2
  local dir=$work/run-$name
  mkdir -p "$dir/work/General" "$dir/logs"
  cp "$module" "$dir/work/General/"
  NIMBREL_PROBE_FILE=$dir/probe TMPDIR=$dir/ "$binary" "$stage" "$dir/work" "$dir/logs" || fail "$name host failed"
  # Loaded by the library after the failed update, unloaded by the next one.
  [[ $(cat "$dir/probe" 2>/dev/null) == $'loaded\nunloaded' ]] || fail "$name host: the plug-in was not loaded and unloaded once: $(cat "$dir/probe" 2>/dev/null)"
  grep -rq 'Update failed: Update url is empty' "$dir/logs" || fail "$name host: the library's log lacks the update"
  if grep -rq 'CDllSources::LoadSource' "$dir/logs"; then grep -rh 'CDllSources::LoadSource' "$dir/logs"; fail "$name host: the registry refused the plug-in"; fi
}
run_host cmake "$host"

# This tree's own plug-ins, installed where the library looks when a host
# names the plug-in folder as its working directory: the offline catalogue
# among them, each listed in the folder's update list.
plugins=$libdir/nimbrel
for ours in General/catalogue General/musicbrainz General/amazon Lyrics/lrclib; do
  file=$plugins/$ours.so
  [[ -f $file ]] || fail "$ours.so is not installed in $plugins"
  [[ $(nm -D --defined-only "$file" | awk '{print $3}') == GetDllInterface ]] || fail "$ours.so exports more than GetDllInterface"
  grep -q "<DLL Name=\"${ours#*/}\"" "$plugins/update.xml" || { cat "$plugins/update.xml"; fail "the update list lacks ${ours#*/}"; }
done
grep -A3 '<DLL Name="catalogue"' "$plugins/update.xml" | grep -q '<Priority>10</Priority>' ||
  { cat "$plugins/update.xml"; fail "the catalogue is not listed first among the general plug-ins"; }
# The installed folder as the library's working directory: every plug-in loads.
mkdir -p "$work/run-installed/logs"
NIMBREL_EXPECT_MODULES=General/catalogue.so,General/musicbrainz.so,General/amazon.so,Lyrics/lrclib.so \
  TMPDIR=$work/run-installed/ "$host" "$stage" "$plugins" "$work/run-installed/logs" || fail "the installed plug-ins were not loaded"
if grep -rq 'CDllSources::LoadSource' "$work/run-installed/logs"; then
  grep -rh 'CDllSources::LoadSource' "$work/run-installed/logs"; fail "the registry refused an installed plug-in"
fi

# The same host through pkg-config, as a Makefile would build it: the flags
# alone bring the C++ standard the headers need. Meridex brings nimbrel.
# shellcheck disable=SC2046
"$cxx" ${sanitize:+-fsanitize=$sanitize} "$source/tests/install/project/Host.cpp" -o "$work/host-pkgconfig" \
  $(pc --cflags --libs meridex) -Wl,-rpath,"$libdir" || fail "the pkg-config build failed"
run_host pkgconfig "$work/host-pkgconfig"
# The command-line host is installed beside the libraries and runs from there.
[[ -x $stage/bin/nimbrel-tag ]] || fail "nimbrel-tag is not installed in $stage/bin"
LD_LIBRARY_PATH=$libdir "$stage/bin/nimbrel-tag" --version | grep -q '^nimbrel-tag 0\.1\.0$' || fail "the installed nimbrel-tag does not run"

# The outside plug-in installed into the same plug-in folder as ours: its
# fragment joins ours, and the merged list keeps every module's own address
# and priority.
cmake --install "$work/project" --prefix "$stage" >>"$work/build.log" || fail "the project did not install beside ours"
[[ -f $plugins/update.d/nimbrel.xml && -f $plugins/update.d/nimbrel_install_check.xml ]] ||
  fail "the update list fragments are not both there: $(ls "$plugins/update.d")"
grep -A3 '<DLL Name="catalogue"' "$plugins/update.xml" | grep -q '<Priority>10</Priority>' ||
  { cat "$plugins/update.xml"; fail "the outside plug-in's install changed our priorities"; }
grep -q '<DLLURL>http://localhost:8377/plugins/General/catalogue.so</DLLURL>' "$plugins/update.xml" ||
  { cat "$plugins/update.xml"; fail "the outside plug-in's install changed our addresses"; }
grep -A3 '<DLL Name="InstallProbe"' "$plugins/update.xml" | grep -q '<DLLURL>http://127.0.0.1:9/plugins/General/InstallProbe.so</DLLURL>' ||
  { cat "$plugins/update.xml"; fail "the merged list lacks the outside plug-in"; }

echo "install test: staged install, find_package and pkg-config builds, plug-in load and unload all fine"
