#!/usr/bin/env bash
# Benchmarks kovalset: the store's costs in process, then whole runs beside
# /bin/true (the floor) and `git config --file` on a file of the same size,
# all in one hyperfine run. Prints a table of medians and ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh
ensure_packages g++ cmake ninja-build pkg-config libhivex-dev libhivex-bin libgtest-dev \
  libbenchmark-dev hyperfine git

runs=${KOVALSET_BENCH_RUNS:-30}
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVALSET_TESTS=OFF \
  -DKOVALSET_BENCH=ON >/dev/null
cmake --build build/bench >/dev/null
program=$PWD/build/bench/kovalset
# The statically linked program, for its start-up.
cmake -S . -B build/bench-static -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOVALSET_TESTS=OFF \
  -DKOVALSET_STATIC=ON >/dev/null
cmake --build build/bench-static >/dev/null
static_program=$PWD/build/bench-static/kovalset

echo "== In process"
build/bench/store_bench --benchmark_min_time=0.2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A store of $1 keys (the settings key among them), as regedit writes one
# (CRLF), and a git config file of the same size.
make_stores() {
  local keys=$1
  awk -v keys="$keys" 'BEGIN {
    printf "REGEDIT4\r\n\r\n"
    for (i = 1; i < keys; i++)
      printf "[HKEY_LOCAL_MACHINE\\Software\\Filler\\Key %d]\r\n\"Name\"=\"A value of other software %d\"\r\n\r\n", i, i
    printf "[HKEY_LOCAL_MACHINE\\Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings]\r\n"
    printf "\"Supported protocols\"=\"SPX,TCPIP\"\r\n"
  }' >"$work/$keys.reg"
  awk -v target="$(stat -c %s "$work/$keys.reg")" 'BEGIN {
    size = 0
    for (i = 0; size < target - 40; i++) {
      line = sprintf("[filler \"key %d\"]\n\tname = A value of other software %d\n", i, i)
      printf "%s", line
      size += length(line)
    }
    print "[kovalset]\n\tprotocols = SPX,TCPIP"
  }' >"$work/$keys.gitconfig"
}

# Every run of kovalset uses $work/store.reg, a symlink that the preparation
# of each command points at its store (so that no wrapper is timed); a write
# run starts from the original file, so that it really writes. A hive's
# copy is flushed first, as a hive on disk is: a copy still to be written
# would be written while the run writes, unless truncated first.
cat >"$work/prepare" <<PREPARE
#!/bin/sh
cp "\$1" "\$2"
[ -z "\$4" ] || sync "\$2"
[ -z "\$3" ] || ln -sfn "\$2" "\$3"
PREPARE
chmod +x "$work/prepare"
export KOVALSET_REGISTRY=$work/store.reg

commands=()
add() { commands+=(--command-name "$1" --prepare "$2" "$3"); }
add "/bin/true" "true" "/bin/true"
for keys in 1 1000 10000 100000; do
  make_stores "$keys"
  reg=$work/$keys.reg git=$work/$keys.gitconfig
  add "view $keys" "$work/prepare $reg $reg.run $KOVALSET_REGISTRY" "$program"
  [ "$keys" != 1 ] || add "static view 1" "$work/prepare $reg $reg.run $KOVALSET_REGISTRY" \
    "$static_program"
  add "write $keys" "$work/prepare $reg $reg.run $KOVALSET_REGISTRY" "$program tcpip"
  add "git view $keys" "$work/prepare $git $git.run" "git config --file $git.run kovalset.protocols"
  add "git write $keys" "$work/prepare $git $git.run" \
    "git config --file $git.run kovalset.protocols TCPIP"
done

# A SOFTWARE hive of 100,000 keys, beside hivex's own tools reading and
# setting the same value; a write flushes what it wrote, and so does
# `sync FILE` after hivexsh.
hive=$work/100000.hive
build/bench/make_hive "$hive" 100000
settings='\Calderan Software\Linvarro\Version 6.15\Settings'
for value in TCPIP SPX; do
  printf 'cd %s\nsetval 1\nSupported protocols\nstring:%s\ncommit\n' "$settings" "$value" \
    >"$work/hivexsh-$value"
done
cp "$work/hivexsh-TCPIP" "$work/hivexsh"
add "hive view 100000" "$work/prepare $hive $hive.run $KOVALSET_REGISTRY" "$program"
add "hive write 100000" "$work/prepare $hive $hive.run $KOVALSET_REGISTRY flushed" \
  "$program tcpip"
add "hivexget 100000" "$work/prepare $hive $hive.run" \
  "hivexget $hive.run '$settings' 'Supported protocols'"
add "hivexsh -w 100000" "$work/prepare $hive $hive.run '' flushed" \
  "hivexsh -w -f $work/hivexsh $hive.run"
add "hivexsh+sync 100000" "$work/prepare $hive $hive.run '' flushed" \
  "sh -c 'hivexsh -w -f $work/hivexsh $hive.run && sync $hive.run'"

echo
echo "== Start-up: a one-key view, runs interleaved with /bin/true's"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings]\r\n"Supported protocols"="SPX,TCPIP"\r\n' >"$work/startup.reg"
KOVALSET_REGISTRY=$work/startup.reg build/bench/startup_bench "${KOVALSET_STARTUP_ROUNDS:-3000}" \
  /bin/true "$program" "$PWD/build/bench-static/kovalset"

# The text store of 100,000 keys beside git config on its file of the same
# size, each command's runs interleaved with the others'. The writes take
# turns setting two values, so that each of them really writes.
cp "$work/100000.reg" "$work/write.reg"
cp "$work/100000.gitconfig" "$work/write.gitconfig"
echo
echo "== Text stores of 100,000 keys, runs interleaved with git config's"
build/bench/startup_bench "${KOVALSET_TEXT_ROUNDS:-200}" \
  "git config --get::git|config|--file|$work/100000.gitconfig|--get|kovalset.protocols" \
  "view::KOVALSET_REGISTRY=$work/100000.reg|$program"
build/bench/startup_bench "${KOVALSET_TEXT_WRITE_ROUNDS:-40}" \
  "git config, setting::git|config|--file|$work/write.gitconfig|kovalset.protocols|SPX" \
  "git config, setting again::git|config|--file|$work/write.gitconfig|kovalset.protocols|TCPIP" \
  "write::KOVALSET_REGISTRY=$work/write.reg|$program|debugmsg|On" \
  "write again::KOVALSET_REGISTRY=$work/write.reg|$program|debugmsg|Off"

# Hive views beside hivexget, and views of hives of three sizes, each
# command's runs interleaved with the others'.
small=$work/600.hive large=$work/100000-long.hive
build/bench/make_hive "$small" 600
build/bench/make_hive "$large" 100000 300
echo
echo "== Hives, runs interleaved; sizes measured:"
for file in "$small" "$hive" "$large"; do echo "  $(basename "$file"): $(stat -c %s "$file") bytes"; done
rounds=${KOVALSET_HIVE_ROUNDS:-300}
build/bench/startup_bench "$rounds" \
  "hivexget, 100,000 keys::hivexget|$hive|$settings|Supported protocols" \
  "view, 100,000 keys::KOVALSET_REGISTRY=$hive|$program"
build/bench/startup_bench "$rounds" "view, 600 keys::KOVALSET_REGISTRY=$small|$program" \
  "view, 100,000 keys::KOVALSET_REGISTRY=$hive|$program" \
  "view, 100,000 longer keys::KOVALSET_REGISTRY=$large|$program"

# Hive writes beside hivexsh -w setting the same value and committing, then
# `sync FILE`: each tool on a copy of its own, the two values in turn so
# that every run writes, all through sh alike.
echo
echo "== Hive writes, runs interleaved with hivexsh -w + sync"
for file in "$hive" "$large"; do
  echo "  $(basename "$file"): $(stat -c %s "$file") bytes"
  cp "$file" "$work/write.hive"
  cp "$file" "$work/hivexsh.hive"
  build/bench/startup_bench "${KOVALSET_HIVE_WRITE_ROUNDS:-20}" \
    "hivexsh -w + sync, TCPIP::sh|-c|hivexsh -w -f $work/hivexsh-TCPIP $work/hivexsh.hive && sync $work/hivexsh.hive" \
    "write, tcpip::sh|-c|KOVALSET_REGISTRY=$work/write.hive exec $program tcpip" \
    "hivexsh -w + sync, SPX::sh|-c|hivexsh -w -f $work/hivexsh-SPX $work/hivexsh.hive && sync $work/hivexsh.hive" \
    "write, spx::sh|-c|KOVALSET_REGISTRY=$work/write.hive exec $program spx"
done

echo
echo "== Whole runs ($runs each)"
hyperfine -N --warmup 3 --runs "$runs" --style none --export-csv "$work/runs.csv" \
  "${commands[@]}" 2>&1 | grep -v -e 'Statistical outliers' -e '^ *$' || true
# Columns: command,mean,stddev,median,user,system,min,max (seconds).
awk -F, 'NR > 1 { order[NR] = $1; ms[$1] = $4 * 1000 }
  END {
    printf "%-16s%10s%13s%14s\n", "command", "median ms", "x /bin/true", "x git config"
    for (i = 2; i <= NR; i++) {
      name = order[i]
      printf "%-16s%10.2f%13.2f", name, ms[name], ms[name] / ms["/bin/true"]
      if (("git " name) in ms) printf "%14.2f", ms[name] / ms["git " name]
      if (name == "hive view 100000") printf "%14.2f x hivexget", ms[name] / ms["hivexget 100000"]
      if (name == "hive write 100000") printf "%14.2f x hivexsh -w + sync", ms[name] / ms["hivexsh+sync 100000"]
      printf "\n"
    }
  }' "$work/runs.csv"
