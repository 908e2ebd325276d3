#!/usr/bin/env bash
# End to end: the application, started hidden on a private session bus (run this under
# dbus-run-session), is driven through its scripted actions with gdbus: an export into an
# authorized folder (the movie checked with ffprobe), the status, a cancelled export, an export
# whose caller leaves the bus, introspection and properties; then the application without a
# session bus. Usage: ActionsBusEndToEnd.sh FRAMEWEAVER AUTHORIZE_FOLDER_TOOL
set -euo pipefail
app=$1
authorize=$2

work=$(mktemp -d)
app_pid=
cleanup() {
    if [[ -n $app_pid ]] && kill -0 "$app_pid" 2>/dev/null; then
        kill -TERM "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    [[ -f $work/app.log ]] && { echo "--- application log:" >&2; cat "$work/app.log" >&2; }
    exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
await() {
    local limit=$1
    shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/Movies" "$work/Stills"
chmod 700 "$XDG_RUNTIME_DIR"
copies=$XDG_CACHE_HOME/Frameweaver/Movie\ Copies

name=com.Quillbrookstudio.Frameweaver
path=/com/Quillbrookstudio/Frameweaver/Actions
interface=com.Quillbrookstudio.Frameweaver.Actions
call() {
    local method=$1
    shift
    gdbus call --session --dest "$name" --object-path "$path" --timeout 600 \
        --method "$interface.$method" "$@"
}

folder=$("$authorize" "$work/Movies" read-write) || fail "could not authorize the folder"
ffmpeg -loglevel error -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 6 "$work/Stills/still%d.png"
stills="['$work/Stills/still1.png', '$work/Stills/still2.png', '$work/Stills/still3.png', '$work/Stills/still4.png', '$work/Stills/still5.png', '$work/Stills/still6.png']"
many="['$work/Stills/still1.png'$(for i in $(seq 2 300); do printf ", '%s/Stills/still%d.png'" "$work" $((i % 6 + 1)); done)]"

# Copies a crashed run left behind: the one older than a day goes at start.
mkdir -p -m 700 "$copies"
touch -d '2 days ago' "$copies/Frameweaver-stale.mp4"
touch "$copies/Frameweaver-recent.mp4"

# Started hidden, as automation starts it.
"$app" --frameweaver-automation-launch 2>"$work/app.log" &
app_pid=$!
gdbus wait --session --timeout 180 "$name" || fail "the service did not appear on the bus"
[[ ! -e $copies/Frameweaver-stale.mp4 ]] || fail "a copy older than a day survived the start"
[[ -e $copies/Frameweaver-recent.mp4 ]] || fail "a recent copy was removed at start"

# The folder is offered as a suggestion, with its fields.
call SuggestedFolders | grep -q "'id': <'$folder'>" || fail "the authorized folder is not suggested"

# The bus's count of the application's match rules: a caller watched for leaving adds one.
owner=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetNameOwner "$name" | sed -E "s/^\('([^']*)',\)$/\1/")
match_rules() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.Debug.Stats.GetConnectionStats "$owner" |
        sed -E "s/.*'MatchRules': <uint32 ([0-9]+)>.*/\1/"
}
rules_at_start=$(match_rules)
[[ $rules_at_start =~ ^[0-9]+$ ]] || fail "no match rule count for $owner: $rules_at_start"

# Progress signals are watched from before the export starts.
stdbuf -oL gdbus monitor --session --dest "$name" >"$work/monitor.log" 2>&1 &
monitor_pid=$!
await 60 test -s "$work/monitor.log" || fail "gdbus monitor did not start"

# 1. An export into the authorized folder.
result=$(call ExportMovie "$stills" "$folder" trip 64 48 "{'codec': <'h264'>, 'quality': <'standard'>}") ||
    fail "ExportMovie failed"
copy=$(sed -E "s/^\('([^']*)', .*/\1/" <<<"$result")
[[ $result == *"'trip.mp4', 'video/mp4')" ]] || fail "unexpected result: $result"
[[ $(basename "$copy") =~ ^Frameweaver-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\.mp4$ ]] ||
    fail "the copy is not named Frameweaver-<UUID>.mp4: $copy"
[[ $(dirname "$copy") == "$copies" ]] || fail "the copy is not in the copy folder: $copy"
[[ $(stat -c %a "$copies") == 700 ]] || fail "the copy folder is not private"
cmp -s "$copy" "$work/Movies/trip.mp4" || fail "the copy differs from the movie"
probe=$(ffprobe -v error -select_streams v:0 -count_frames \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$work/Movies/trip.mp4")
[[ $probe == "h264,64,48,6" ]] || fail "unexpected movie: $probe"
await 30 grep -q "ExportProgress ('[0-9A-F-]*', int64 6, int64 6)" "$work/monitor.log" ||
    fail "no progress signal reached 6/6: $(cat "$work/monitor.log")"
kill "$monitor_pid"

# 2. Its status.
status=$(call GetExportStatus "")
for field in "'state': <'completed'>" "'progress': <1.0>" "'completedFrames': <int64 6>" \
    "'totalFrames': <int64 6>" "'title': <'trip.mp4'>" "'subtitle': <'completed · 6/6 frames'>"; do
    [[ $status == *"$field"* ]] || fail "status lacks $field: $status"
done
[[ $status != *"'error'"* ]] || fail "a completed job carries an error: $status"
first_job=$(sed -E "s/.*'id': <'([^']*)'>.*/\1/" <<<"$status")

# 3. A second export, cancelled while it runs.
call ExportMovie "$many" "$folder" long 640 480 "{}" >"$work/second.out" 2>"$work/second.err" &
second_pid=$!
running() { call GetExportStatus "" | grep -q "'state': <'running'>"; }
await 120 running || fail "the second export never ran: $(cat "$work/second.err")"
# A mistyped job cancels nothing.
if call CancelExport "latest" 2>"$work/typo.err"; then fail "a mistyped job was accepted"; fi
grep -q "UnknownJob" "$work/typo.err" || fail "wrong error for a mistyped job: $(cat "$work/typo.err")"
running || fail "a mistyped job stopped the running export"
call CancelExport "" >/dev/null || fail "CancelExport failed"
if wait "$second_pid"; then fail "the cancelled export succeeded"; fi
grep -q "Error.UserCancelled" "$work/second.err" || fail "wrong error: $(cat "$work/second.err")"
grep -q "The operation was cancelled." "$work/second.err" || fail "wrong text: $(cat "$work/second.err")"
call GetExportStatus "" | grep -q "'state': <'cancelled'>" || fail "the job is not cancelled"
[[ ! -e $work/Movies/long.mp4 ]] || fail "a cancelled export left a movie"
call GetExportStatus "$first_job" | grep -q "'state': <'completed'>" || fail "the first job is lost"

# 4. A caller that leaves the bus cancels its export.
# gdbus itself in the background (not a shell around it), so that killing it closes its connection.
gdbus call --session --dest "$name" --object-path "$path" --timeout 600 \
    --method "$interface.ExportMovie" "$many" "$folder" left 640 480 "{'codec': <'h264'>}" \
    >/dev/null 2>&1 &
third_pid=$!
await 120 running || fail "the third export never ran"
kill -KILL "$third_pid"
wait "$third_pid" 2>/dev/null || true
cancelled() { call GetExportStatus "" | grep -q "'state': <'cancelled'>"; }
await 120 cancelled || fail "the export of a caller that left was not cancelled"

# Every caller's calls have ended: none of them is watched any more.
rules_back() { [[ $(match_rules) == "$rules_at_start" ]]; }
await 30 rules_back || fail "callers are still watched: $(match_rules) match rules, $rules_at_start at the start"

# 5. Introspection documents every member; the properties can be read.
xml=$(gdbus introspect --session --dest "$name" --object-path "$path" --xml)
[[ -n ${FW_SHOW_XML:-} ]] && echo "$xml" >&2
for text in 'value="Export Movie"' \
    'value="Create a movie from images in the supplied order. The call lasts as long as the export' \
    'callers must raise their reply timeout above the usual 25 seconds' \
    'value="Get Export Status"' 'value="Inspect the active or a recent movie export."' \
    'value="Cancel Export"' 'value="Cancel the active movie export."' \
    'value="Output Folder"' '(Overwrite Existing Movie, boolean, default false)' '(Frame Rate, integer, default 30)' 'name="ExportProgress"' \
    'Get status of ${job}' 'name="SuggestedJobs"' 'name="Jobs"' 'name="Folders"' 'removed when Frameweaver quits'; do
    grep -qF "$text" <<<"$xml" || fail "introspection lacks $text"
done
codecs=$(gdbus call --session --dest "$name" --object-path "$path" \
    --method org.freedesktop.DBus.Properties.Get "$interface" Codecs)
[[ $codecs == *"'H.264'"*"'HEVC'"*"'ProRes 422'"* ]] || fail "unexpected codecs: $codecs"
gdbus call --session --dest "$name" --object-path "$path" \
    --method org.freedesktop.DBus.Properties.GetAll "$interface" | grep -q "'Movie Quality'" ||
    fail "GetAll lacks the quality type name"

# 6. Arguments that do not fit are refused with InvalidArgs and a sentence saying why.
# dbus-send sends the signature it is given; gdbus follows the introspected one.
if dbus-send --session --print-reply --dest="$name" "$path" "$interface.ExportMovie" \
    string:trip int64:64 >/dev/null 2>"$work/args.err"; then
    fail "a call of the wrong signature was accepted"
fi
grep -qF "org.freedesktop.DBus.Error.InvalidArgs" "$work/args.err" ||
    fail "wrong error name for a wrong signature: $(cat "$work/args.err")"
grep -qF "ExportMovie takes arguments of type (asssxxa{sv})." "$work/args.err" ||
    fail "wrong text for a wrong signature: $(cat "$work/args.err")"
for options in "{'speed': <2>}:speed" "{'frameRate': <'24'>}:frameRate" \
    "{'overwrite': <1>}:overwrite"; do
    if call ExportMovie "$stills" "$folder" args 64 48 "${options%:*}" >/dev/null \
        2>"$work/args.err"; then
        fail "the options ${options%:*} were accepted"
    fi
    grep -qF "org.freedesktop.DBus.Error.InvalidArgs" "$work/args.err" ||
        fail "wrong error name for ${options%:*}: $(cat "$work/args.err")"
    grep -qF "Unknown option or wrong type: ${options##*:}." "$work/args.err" ||
        fail "wrong text for ${options%:*}: $(cat "$work/args.err")"
done
[[ ! -e $work/Movies/args.mp4 ]] || fail "a refused call wrote a movie"

# 7. Quitting removes the copy folder.
kill -TERM "$app_pid"
wait "$app_pid" || fail "the application did not end cleanly"
app_pid=
[[ ! -e $copies ]] || fail "the copy folder outlived the application"
[[ -f $work/Movies/trip.mp4 ]] || fail "the movie did not outlive the application"

# 8. Without a session bus the application runs and says so once.
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus "$app" --frameweaver-automation-launch \
    2>"$work/app.log" &
app_pid=$!
await 120 grep -q "No D-Bus session bus: the scripted actions are not available." "$work/app.log" ||
    fail "no line about the missing bus"
kill -0 "$app_pid" || fail "the application ended without a session bus"
kill -TERM "$app_pid"
wait "$app_pid" || fail "the application without a bus did not end cleanly"
app_pid=
[[ $(grep -c "scripted actions" "$work/app.log") == 1 ]] || fail "more than one line: $(cat "$work/app.log")"
echo "passed"
