#!/usr/bin/env bash
# The executable on a real terminal (a tmux pane): what a person sees, types and gets back.
#
# Usage: terminal_test.sh KELDRAN SCENARIO ORDER3_REPORT
# Exit status 0 when the scenario behaves, 1 when it does not, 77 when tmux is missing.
set -euo pipefail

keldran=$1
scenario=$2
expected_order3=$3

if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIPPED: tmux is not installed (Debian package tmux); the terminal tests need it"
  exit 77
fi

# capture-pane drops the blanks at line ends, so the prompt's trailing space is not in this text.
readonly prompt='Order of polynomial (3 to 12) :'
readonly prompt_width=32
readonly banner='KELDRAN: pseudorandom sequence generator, by Vantrel, 1994'
readonly no_order='keldran: no order was given'
# Generous enough for the sanitizer build on a busy machine, short enough that a hang fails soon.
readonly patience_seconds=20

work=$(mktemp -d)
# A private server whose socket goes away with the scratch folder.
tmux_() { tmux -S "$work/tmux.socket" "$@"; }
cleanup() {
  tmux_ kill-server >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The complete standard output for order 3: banner and report, lines of values ending in a space.
cp "$expected_order3" "$work/order3"

fail() {
  echo "FAILED: $*"
  exit 1
}

# Starts keldran in a fresh 100x50 pane, with any redirection given. When it ends, its exit
# status lands in $work/status, the commands given second run on the same terminal, and the
# pane keeps showing what it showed.
start() {
  local redirect=${1:-}
  local after=${2:-}
  cat >"$work/run" <<EOF
"$keldran" $redirect
echo \$? >"$work/status.part" && mv "$work/status.part" "$work/status"
$after
exec sleep 600
EOF
  tmux_ -f /dev/null new-session -d -s keldran -x 100 -y 50 "sh '$work/run'"
}

type_keys() { tmux_ send-keys -t keldran "$@"; }

# The visible screen without the blank lines below its last text.
screen() {
  tmux_ capture-pane -p -t keldran | awk '{ line[NR] = $0; if ($0 != "") last = NR }
    END { for (i = 1; i <= last; ++i) print line[i] }'
}

# Waits until the screen shows exactly the expected text (read from standard input).
expect_screen() {
  local expected
  expected=$(cat)
  local deadline=$((SECONDS + patience_seconds))
  while [[ "$(screen)" != "$expected" ]]; do
    if ((SECONDS >= deadline)); then
      printf 'FAILED: the screen shows\n%s\n--- instead of\n%s\n' "$(screen)" "$expected"
      exit 1
    fi
    sleep 0.1
  done
}

# Waits for keldran to end and checks its exit status.
expect_status() {
  local deadline=$((SECONDS + patience_seconds))
  while [[ ! -f "$work/status" ]]; do
    ((SECONDS < deadline)) || fail "keldran had not ended after ${patience_seconds}s"
    sleep 0.1
  done
  [[ "$(cat "$work/status")" == "$1" ]] || fail "exit status $(cat "$work/status"), expected $1"
}

# The order-3 report as the screen shows it: no blanks at line ends.
order3_on_screen() { tail -n +2 "$work/order3" | sed 's/ *$//'; }

case "$scenario" in
  ShowsBannerThenPromptBeforeAnythingIsTyped)
    start
    printf '%s\n%s\n' "$banner" "$prompt" | expect_screen
    # The cursor waits right after the prompt's space, on the prompt's own line.
    cursor=$(tmux_ display-message -p -t keldran '#{cursor_x},#{cursor_y}')
    [[ "$cursor" == "$prompt_width,1" ]] || fail "cursor at $cursor, expected $prompt_width,1"
    ;;
  PromptsAgainAfterTwoThenReportsOrderThree)
    start
    printf '%s\n%s\n' "$banner" "$prompt" | expect_screen
    type_keys 2 Enter
    printf '%s\n%s 2\n%s\n' "$banner" "$prompt" "$prompt" | expect_screen
    type_keys 3 Enter
    { printf '%s\n%s 2\n%s 3\n' "$banner" "$prompt" "$prompt"; order3_on_screen; } | expect_screen
    expect_status 0
    ;;
  KeepsThePromptOnTheTerminalWhenOutputGoesToAFile)
    start ">'$work/report'"
    printf '%s\n' "$prompt" | expect_screen
    type_keys 3 Enter
    expect_status 0
    printf '%s 3\n' "$prompt" | expect_screen
    cmp "$work/report" "$work/order3" || fail "the file does not hold exactly banner and report"
    ;;
  EndOfInputAtThePromptEndsWithStatusTwo)
    start
    printf '%s\n%s\n' "$banner" "$prompt" | expect_screen
    type_keys C-d
    expect_status 2
    printf '%s\n%s\n%s\n' "$banner" "$prompt" "$no_order" | expect_screen
    ;;
  LeavesNothingOfTheTypedLineToTheNextProgram)
    # Whatever follows the order on its line is read with it: were it left on the terminal,
    # the shell would run it as a command once keldran ends.
    start ">/dev/null" "IFS= read -r line; printf '%s' \"\$line\" >'$work/next.part'; mv '$work/next.part' '$work/next'"
    printf '%s\n' "$prompt" | expect_screen
    type_keys "3x echo LEFTOVER" Enter
    expect_status 0
    type_keys "next line" Enter
    deadline=$((SECONDS + patience_seconds))
    while [[ ! -f "$work/next" ]]; do
      ((SECONDS < deadline)) || fail "the next program read nothing"
      sleep 0.1
    done
    [[ "$(cat "$work/next")" == "next line" ]] || fail "the next program read '$(cat "$work/next")'"
    ;;
  *)
    fail "unknown scenario $scenario"
    ;;
esac
echo "PASSED: $scenario"
