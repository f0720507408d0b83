# Shared by the project's scripts; sourced, not run:
#   . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"          (from scripts/)
# Defines RENEWEL_ROOT and the functions below; changes no option of the caller.

RENEWEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# wine_env: Wine's settings for this project: its own prefix under build/
# (unless WINEPREFIX is set), no debug output, no .NET or HTML engine
# installers.
wine_env() {
  export WINEPREFIX="${WINEPREFIX:-$RENEWEL_ROOT/build/wineprefix}"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
}

# wine64_env: the 64-bit loader and server, and the win64 check's own prefix
# (unless WINEPREFIX is set). Call before wine_env.
wine64_env() {
  export WINEPREFIX="${WINEPREFIX:-$RENEWEL_ROOT/build/wineprefix64}"
  export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
}

# windows_suite: prints the Windows suite this machine runs: win32 where the
# kernel executes 32-bit programs (scripts/can-run-win32), else win64.
# RENEWEL_CAN_RUN_WIN32=1 or 0 forces the answer (for the tests of the choice).
windows_suite() {
  local can
  case "${RENEWEL_CAN_RUN_WIN32:-}" in
    1) can=yes ;;
    0) can=no ;;
    *) if "$RENEWEL_ROOT/scripts/can-run-win32"; then can=yes; else can=no; fi ;;
  esac
  if [ "$can" = yes ]; then echo win32; else echo win64; fi
}

# wine_prefix_ready: makes the Wine prefix once, and starts Wine's session
# (its server and background services) when none runs. Started by the first
# program of a session instead, those services would inherit that program's
# output and hold it open until the session ends: a test runner reading it
# would wait for the last Windows program of the whole run. WINELOADER and
# WINESERVER choose the loader (default: wine, wineserver).
wine_prefix_ready() {
  wine_env
  local loader="${WINELOADER:-wine}" server="${WINESERVER:-wineserver}"
  if [ ! -d "$WINEPREFIX" ]; then
    mkdir -p "$WINEPREFIX"
    "$loader" wineboot -i </dev/null >/dev/null 2>&1 || true
    "$server" -w </dev/null >/dev/null 2>&1 || true
  fi
  # -k0 only asks whether a server runs for the prefix.
  if ! "$server" -k0 </dev/null >/dev/null 2>&1; then
    "$loader" wineboot </dev/null >/dev/null 2>&1 || true
  fi
}

# run_windows_program LOADER ARGS...: runs a Windows program under Wine's
# LOADER with the caller's standard input, and passes its standard output and
# standard error on to the caller's as they come, each through a file of its
# own: a test that kills a program while it starts a child can leave that
# child half-made under Wine (a loader waiting for its parent, which is
# gone), and such a process would hold the caller's pipe open, so that CTest
# waited for the end of the output until its time-out. Returns the program's
# exit code.
run_windows_program() {
  local loader=$1 out err pid errpid rc
  shift
  out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || { "$loader" "$@"; return; }
  err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || { rm -f "$out"; "$loader" "$@"; return; }
  "$loader" "$@" <&0 >"$out" 2>"$err" &
  pid=$!
  tail -s 0.2 -n +1 -f --pid="$pid" "$err" >&2 &
  errpid=$!
  tail -s 0.2 -n +1 -f --pid="$pid" "$out"
  wait "$errpid"
  wait "$pid"
  rc=$?
  rm -f "$out" "$err"
  return "$rc"
}

# start_xvfb GEOMETRY LOG: starts Xvfb on a free display number, which the
# server takes itself (-displayfd) and reports once it listens: two servers
# started at the same moment never share one. (Choosing the number here and
# watching for its socket could take another server's socket for our own;
# when that server's test ended, ours lost its display.) Sets DISPLAY
# (exported) and XVFB_PID; returns 1 when no server came up within 10 s.
start_xvfb() {
  local geometry=$1 log=$2 n= numfile
  numfile=$(mktemp)
  XVFB_PID=
  Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp 3>"$numfile" >"$log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    n=$(tr -dc 0-9 <"$numfile")
    [ -n "$n" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$numfile"
  if [ -n "$n" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
    export DISPLAY=":$n"
    return 0
  fi
  kill "$XVFB_PID" 2>/dev/null
  wait "$XVFB_PID" 2>/dev/null
  XVFB_PID=
  return 1
}

# stop_xvfb: stops the server start_xvfb started, if any.
stop_xvfb() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
  fi
}

# The memory every fuzzer is held to (MB): its resident size, and any single
# allocation. An input that makes the product ask for more is a finding.
FUZZ_LIMIT_MB=256
# What the address sanitizer itself keeps resident apart from the product's
# live heap: freed blocks wait in its quarantine (to catch uses after free)
# before they are reused. Its default quarantine of 256 MB would fill the
# limit above by itself on a long run, so the limit would measure the
# sanitizer, not the product. 32 MB still holds the blocks freed by the last
# several inputs. Options already in ASAN_OPTIONS come after these and win.
FUZZ_ASAN_OPTIONS="quarantine_size_mb=32:thread_local_quarantine_size_kb=256"
# Undefined behaviour stops the run like any other finding (by default the
# sanitizer reports it once and carries on).
FUZZ_UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# fuzz_run NAME CORPUS MAX_LEN [libFuzzer options...]: runs the fuzzer
# $FUZZ_BIN/NAME for FUZZ_SECONDS from its kept corpus CORPUS (created when
# missing; a seed directory that is not kept works too), held to
# FUZZ_LIMIT_MB, then merges the inputs that add coverage back into CORPUS.
# Returns the fuzzer's status.
fuzz_run() {
  local name=$1 corpus=$2 max_len=$3 work status=0
  shift 3
  mkdir -p "$corpus"
  work=$(mktemp -d)
  ASAN_OPTIONS="$FUZZ_ASAN_OPTIONS${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    UBSAN_OPTIONS="$FUZZ_UBSAN_OPTIONS${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    "$FUZZ_BIN/$name" -max_total_time="$FUZZ_SECONDS" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb="$FUZZ_LIMIT_MB" -malloc_limit_mb="$FUZZ_LIMIT_MB" -print_final_stats=1 \
    "$@" "$work" "$corpus" || status=$?
  ASAN_OPTIONS="$FUZZ_ASAN_OPTIONS${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    "$FUZZ_BIN/$name" -merge=1 -rss_limit_mb="$FUZZ_LIMIT_MB" "$corpus" "$work" >/dev/null 2>&1 || true
  rm -rf "$work"
  echo "$name corpus: $(ls "$corpus" | wc -l) inputs"
  return $status
}

# best COMMAND...: the best of three wall-clock seconds of a command.
best() {
  local b="" s e t
  for _ in 1 2 3; do
    s=$(date +%s.%N); "$@" > /dev/null; e=$(date +%s.%N)
    t=$(echo "$e - $s" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}
