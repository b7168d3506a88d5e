#!/bin/sh
# A chatty stand-in for the real CLI, served by the development server: coloured log
# lines, a progress bar redrawn with carriage returns, some lines on standard error and,
# on SIGUSR1, a burst of output. It runs until SIGTERM or SIGINT and then exits 0.
#
#   DEMO_CLI_BURST  lines written per SIGUSR1 (5000)
#   DEMO_CLI_TICK   seconds between log lines (1)

burst_lines=${DEMO_CLI_BURST:-5000}
tick=${DEMO_CLI_TICK:-1}

esc=$(printf '\033')
reset="${esc}[0m"
bold="${esc}[1m"
dim="${esc}[2m"
red="${esc}[31m"
green="${esc}[32m"
yellow="${esc}[33m"
blue="${esc}[34m"
magenta="${esc}[35m"
cyan="${esc}[36m"

sleeper=
stopping=0
burst_pending=0

stamp() { date '+%H:%M:%S'; }

# Sleeping in the background lets a signal interrupt the wait at once instead of after it.
pause() {
    sleep "$1" &
    sleeper=$!
    wait "$sleeper" 2>/dev/null
    sleeper=
}

# Called from the traps below.
# shellcheck disable=SC2317
wake() {
    [ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null
}

trap 'stopping=1; wake' TERM INT
trap 'burst_pending=1; wake' USR1
trap '' HUP

info() { printf '%s %s%sINFO%s  %s\n' "$(stamp)" "$bold" "$green" "$reset" "$*"; }
note() { printf '%s %s%sNOTE%s  %s\n' "$(stamp)" "$bold" "$cyan" "$reset" "$*"; }
warn() { printf '%s %s%sWARN%s  %s\n' "$(stamp)" "$bold" "$yellow" "$reset" "$*" >&2; }
fail() { printf '%s %s%sERROR%s %s\n' "$(stamp)" "$bold" "$red" "$reset" "$*" >&2; }

burst() {
    info "burst of $burst_lines lines"
    # awk writes the burst in one go, so it is as fast as a real flood.
    awk -v n="$burst_lines" -v e="$esc" 'BEGIN {
        for (i = 1; i <= n; i++)
            printf "%s[35mburst%s[0m line %d of %d %s[2m%s%s[0m\n", e, e, i, n, e,
                "................................................", e
    }'
    info "burst done"
}

progress() {
    label=$1
    width=30
    step=0
    while [ "$step" -le "$width" ] && [ "$stopping" -eq 0 ]; do
        done_part=$(printf '%*s' "$step" '' | tr ' ' '#')
        rest=$(printf '%*s' $((width - step)) '')
        printf '\r%s%s%s [%s%s%s%s] %3d%%' "$bold" "$label" "$reset" "$green" "$done_part" \
            "$reset" "$rest" $((step * 100 / width))
        step=$((step + 3))
        pause 0.1
    done
    printf '\n'
}

printf '%s%sdemo CLI%s %sstarted, pid %s%s\n' "$bold" "$magenta" "$reset" "$dim" "$$" "$reset"
note "terminal: TERM=${TERM:-unset} COLORTERM=${COLORTERM:-unset}"
note "send SIGUSR1 for a burst of $burst_lines lines, SIGTERM to stop"
printf '%sred%s %sgreen%s %syellow%s %sblue%s %smagenta%s %scyan%s %sbold%s\n' \
    "$red" "$reset" "$green" "$reset" "$yellow" "$reset" "$blue" "$reset" \
    "$magenta" "$reset" "$cyan" "$reset" "$bold" "$reset"

count=0
while [ "$stopping" -eq 0 ]; do
    if [ "$burst_pending" -eq 1 ]; then
        burst_pending=0
        burst
        continue
    fi
    count=$((count + 1))
    case $((count % 8)) in
    1) info "${blue}sync${reset} checking for work (round $count)" ;;
    2) progress "download" ;;
    3) info "fetched ${bold}$((count * 7 % 97 + 3))${reset} items" ;;
    4) warn "slow response from upstream, retrying" ;;
    5) note "${cyan}cache${reset} hit ratio $((count * 13 % 100))%" ;;
    6) progress "upload" ;;
    7) fail "item $count rejected: checksum mismatch (demo)" ;;
    0) info "${green}idle${reset}" ;;
    esac
    [ "$stopping" -eq 0 ] && pause "$tick"
done

printf '\n%s%sdemo CLI%s stopping\n' "$bold" "$magenta" "$reset"
exit 0
