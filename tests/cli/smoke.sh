#!/usr/bin/env bash
# Runs every idxcache subcommand once in a scratch home and checks what a
# person would look at: exit codes and the lines that tell the story.
set -u
tool="$1"
home=$(mktemp -d /tmp/idxcache-cli-XXXXXX)
export IDXCACHE_HOME="$home"
demo_home=""
cleanup() { rm -rf "$home" ${demo_home:+"$demo_home"}; }
trap cleanup EXIT
failures=0
check() { # check "what" command... : the command must succeed
    local what="$1"; shift
    if ! out=$("$@" 2>&1); then
        echo "FAIL: $what: $*"; echo "$out"; failures=$((failures + 1))
    fi
}
expect() { # expect "what" "pattern" text
    if ! grep -q -- "$2" <<<"$3"; then
        echo "FAIL: $1: no '$2' in:"; echo "$3"; failures=$((failures + 1))
    fi
}

check version "$tool" version
expect version "idxcache " "$out"
check "config set" "$tool" config set sDISABLERESERVE no
check "config get" "$tool" config get sDISABLERESERVE
expect "config get" "^no$" "$out"
if "$tool" config get nMissing >/dev/null 2>&1; then
    echo "FAIL: config get of a missing key succeeded"; failures=$((failures + 1))
fi
check doctor "$tool" doctor
expect doctor "index cache:" "$out"
check where "$tool" where --cache-type 2
expect where "OX_SnapMetadata" "$out"
check reserve "$tool" reserve 10000000
expect reserve "reserve 10000000 bytes: reserved" "$out"
check reservations "$tool" reservations
check "reservations json" "$tool" reservations --json
expect "reservations json" '"reserveFile": ' "$out"
check "backup 1" "$tool" backup --app 17 --job 1 --files 2 --size 4096
expect "backup 1" "create: " "$out"
sleep 1.1
check "backup 2" "$tool" backup --app 17 --job 2 --files 2 --size 4096
expect "backup 2" "update: " "$out"
check ls "$tool" ls --json
expect ls '"stateName": "closed"' "$out"
check browse "$tool" browse --app 17
expect browse "for reading" "$out"
check cleanup "$tool" cleanup --days 0
expect cleanup "cleanup of .*: done" "$out"
dir=$("$tool" ls --json | grep -o '"path": "[^"]*"' | head -1 | cut -d'"' -f4)
if [ -n "$dir" ]; then
    check discard "$tool" discard "$dir"
    expect discard "removed" "$out"
fi
if "$tool" discard /etc/passwd >/dev/null 2>&1; then
    echo "FAIL: discard accepted a path outside the cache root"; failures=$((failures + 1))
fi
if "$tool" backup --app 19 --job 7 --full --files 1 --size 4096 --checkpoint --crash >/dev/null 2>&1 &&
    out=$("$tool" copy show --app 19 2>&1); then
    expect "copy show" "checkpoints/19: complete" "$out"
else
    echo "FAIL: backup --checkpoint --crash"; failures=$((failures + 1))
fi
if "$tool" resume --app 19 >/dev/null 2>&1; then
    echo "FAIL: resume of a crashed writer succeeded without the copy"; failures=$((failures + 1))
fi
check "resume retry" "$tool" resume --app 19 --retry-from-copy
expect "resume retry" "suspend: done" "$out"
check "copy restore" "$tool" copy restore --app 19
expect "copy restore" "restored .*/19/[0-9]* from .*checkpoints/19" "$out"
check "copy remove" "$tool" copy remove --app 19
expect "copy remove" "removed" "$out"
if "$tool" copy restore --app 19 >/dev/null 2>&1; then
    echo "FAIL: copy restore without a copy succeeded"; failures=$((failures + 1))
fi
check "backup tranlog" "$tool" backup --app 20 --job 8 --full --files 1 --size 100 --tranlog
expect "backup tranlog" "transaction-log chunk: done" "$out"
check "upload-queue" "$tool" upload-queue
expect "upload-queue" "queued" "$out"
printf 'b,2\nc,10\na,1\n' > "$home/list.txt"
check sort "$tool" sort "$home/list.txt" --column 2 --type dec --desc --memory 64K
expect sort "sorted .*list.txt: 13 bytes" "$out"
expect "sort order" "^c,10 b,2 a,1 $" "$(tr '\n' ' ' < "$home/list.txt")"
check "sort top" "$tool" sort "$home/list.txt" --top 1
expect "sort top" "kept the top 1 lines: 4 bytes" "$out"
expect "sort top file" "^a,1$" "$(cat "$home/list.txt")"
"$tool" monitor --job 77 --for 60 > "$home/monitor.out" 2>&1 &
monitor=$!
sleep 1.5
check "monitor quit flag" "$tool" config set 77 quit -s idxcache.jobs
wait "$monitor"
expect monitor "heartbeat 1 (XML) sent" "$(cat "$home/monitor.out")"
expect monitor "job 77: quit (quit flag)" "$(cat "$home/monitor.out")"
printf 'one\ntwo\n' > "$home/lines"
check "results put" "$tool" results put --job 5 --kind 1 --truncate < "$home/lines"
expect "results put" "put 2 lines to .*/5/backup.out, next line at offset 8" "$out"
check "results raw" "$tool" results raw --job 5 --kind 1 -- sh -c 'echo raw > "$RAW_FILE"'
expect "results raw" "/5/backup_[0-9]*_[0-9]*$" "$out"
check "results put again" "$tool" results put --job 5 --kind 1 < "$home/lines"
check "results map" "$tool" results map --job 5 --kind 1 --rebuild
expect "results map" "1.map: 4 entries, in step" "$out"
check "results map file" "$tool" results map "$home/lines" --rebuild
expect "results map file" "lines.map: 2 entries, in step" "$out"
check "results page" "$tool" results page --job 5 --kind 1 --line 2 --count 2
expect "results page" "^two$" "$out"
check "results merge" "$tool" results raw --job 6 --kind 1 -- sh -c 'echo m > "$RAW_FILE"'
check "results merge" "$tool" results merge --job 6 --kind 1
expect "results merge" "^1: .*/6/backup_[0-9]*_[0-9]* begins at offset 0$" "$out"
check "results filter" "$tool" results raw --job 6 --kind 2 -- sh -c 'printf "/x 3\\n/y 1\\n" > "$RAW_FILE"'
check "results filter" "$tool" results filter --job 6 --kind 9
expect "results filter" "PagingFile_Job_6_[0-9]*.f_rst$" "$out"
check "results ls" "$tool" results ls --job 5
expect "results ls" "backup.out .* 16 bytes" "$out"
check "results cleanup" "$tool" results cleanup --central
expect "results cleanup" "central job results cleanup: " "$out"
check "results cleanup paging" "$tool" results cleanup --paging
expect "results cleanup paging" "paging files older than a day removed" "$out"
check "service start" "$tool" service start
expect "service start" "service started, pid [0-9]*" "$out"
check "service status" "$tool" service status
expect "service status" "running" "$out"
check "service status json" "$tool" service status --json
expect "service status json" '"running": true' "$out"
check "reserve remote" "$tool" reserve 10000000 --remote
expect "reserve remote" "written by the service" "$out"
check "cleanup remote" "$tool" cleanup --days 0 --remote
expect "cleanup remote" "cleanup of .*: done" "$out"
check "service stop" "$tool" service stop
expect "service stop" "stopped" "$out"
if "$tool" reserve 10000000 --remote >/dev/null 2>&1; then
    echo "FAIL: reserve --remote succeeded without a service"; failures=$((failures + 1))
fi
check demo "$tool" demo
demo_home=$(sed -n 's/^idxcache demo: scratch home //p' <<<"$out")
expect demo "kept .* (in use by another process)" "$out"
expect demo "was discarded" "$out"
expect demo "removed " "$out"
expect demo "line written by the service for pid" "$out"
expect demo "from its checkpoint copy, index file restored" "$out"

if [ "$failures" -eq 0 ]; then
    echo "cli smoke: all commands behaved"
fi
exit "$failures"
