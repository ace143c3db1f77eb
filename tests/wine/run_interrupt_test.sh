#!/bin/sh
# Ctrl+C under Wine, many times, at different moments of a large extraction.
# Wine turns SIGINT into the console's Ctrl+C event, which Windows delivers on
# a thread of its own, so this is where the control thread and the main
# thread really meet. Each interrupted run must end with status 1 and
# "Abort !", leave no temporary file, and keep every file it had finished
# intact; a run the signal missed must be complete.
#   run_interrupt_test.sh ZQPACK WIN32_STUB SCRATCH_DIR [ROUNDS]
set -eu
zqpack=$1
win_stub=$2
scratch=$3
rounds=${4:-12}
rm -rf "$scratch"
mkdir -p "$scratch/src"
cd "$scratch"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Small files first, so that some are finished when the signal comes, then
# large ones that take a while to decode.
i=0
while [ $i -lt 5 ]; do
  echo "small file $i" >"src/a$i.txt"
  i=$((i + 1))
done
for big in b1 b2 b3; do
  head -c 3000000 /dev/urandom | od -An -tx1 >"src/$big.txt"
done
"$zqpack" create -o big.exe --stub "$win_stub" --flat src >/dev/null

printf '\r\nAbort !\r\n' >abort.txt
interrupted=0
round=1
while [ $round -le "$rounds" ]; do
  dir="run$round"
  mkdir "$dir"
  (cd "$dir" && exec wine ../big.exe </dev/null >../out$round 2>/dev/null) &
  pid=$!
  # Wait for the first progress bar, then let the run go on for a different
  # time each round (0 to 3.3 s, about the length of the whole run), so the
  # signal falls inside files, between them and around the final moves.
  waited=0
  while ! grep -q '|' "out$round" 2>/dev/null && [ $waited -lt 600 ]; do
    sleep 0.05
    waited=$((waited + 1))
  done
  delay=$((round * 37 % 34))
  sleep "$((delay / 10)).$((delay % 10))"
  kill -INT "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  leftovers=$(find "$dir" -name 'zq[0-9][0-9][0-9][0-9][0-9][0-9]' | wc -l)
  [ "$leftovers" -eq 0 ] || fail "round $round: temporary file left behind"
  # Every file present must be whole: the move into place is the last step.
  for file in "$dir"/*; do
    [ -e "$file" ] || continue
    cmp -s "$file" "src/$(basename "$file")" || fail "round $round: $(basename "$file") is not intact"
  done
  case $status in
    1)
      tail -c 11 "out$round" | cmp -s - abort.txt || fail "round $round: status 1 without \"Abort !\""
      interrupted=$((interrupted + 1))
      ;;
    0)
      [ "$(ls "$dir" | wc -l)" -eq 8 ] || fail "round $round: status 0 but files are missing"
      ;;
    *) fail "round $round: exit status $status" ;;
  esac
  round=$((round + 1))
done
[ $interrupted -gt 0 ] || fail "no round was interrupted; the signal never met the run"

# Ctrl+C while the main thread waits in a read of standard input, at the
# password prompt: the handler must not wait for that read to end.
"$zqpack" create -o locked.exe --stub "$win_stub" --password secret src/a0.txt >/dev/null
mkfifo answers
exec 3<>answers  # held open and never written: the read waits
mkdir prompt
(cd prompt && exec wine ../locked.exe <../answers >../prompt.out 2>/dev/null) &
pid=$!
waited=0
while ! grep -q 'Password: ' prompt.out 2>/dev/null && [ $waited -lt 600 ]; do
  sleep 0.05
  waited=$((waited + 1))
done
sleep 0.3
kill -INT $pid
status=0
wait $pid || status=$?
exec 3>&-
[ $status -eq 1 ] || fail "interrupted at the password prompt: status $status"
tail -c 11 prompt.out | cmp -s - abort.txt || fail "interrupted at the password prompt: no \"Abort !\""
[ -z "$(ls prompt)" ] || fail "interrupted at the password prompt: files were written"
echo "ok: $interrupted of $rounds runs interrupted cleanly, and one at the password prompt"
