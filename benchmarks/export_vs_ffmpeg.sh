#!/usr/bin/env bash
# Times one export with Frameweaver's engine against the ffmpeg command line doing the same
# job: the same generated still images (JPEG and PNG), stretched with Lanczos to the movie
# size, converted with the BT.709 matrix to video range, tagged BT.709 and encoded with the
# same encoder and options (asked of ExportMovie, so both sides always agree).
#
# A third command gives the floor: the same encoder with the same options fed the frames
# already decoded and scaled (raw Y'CbCr of the movie size, made beforehand from the same
# images and read from a file), i.e. what the encoder alone costs.
#
# Reports wall time, CPU time (user + system) and peak resident memory of all three, and the
# ratios ours / ffmpeg and ours / floor, for every input type and codec, in one run. With
# FW_BENCH_REPEATS above one, each case runs that many times (the three commands in turn)
# and the medians are reported. FW_BENCH_CPUS pins every command to those cores (taskset -c),
# so a run can stand in for a smaller machine while others share this one.
#
# usage: benchmarks/export_vs_ffmpeg.sh [path/to/ExportMovie] [work directory]
#
# Build ExportMovie in the Release configuration first, e.g.
#   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFW_BUILD_TESTS=OFF
#   cmake --build build/bench --target ExportMovie
#
# Environment (defaults in brackets):
#   FW_BENCH_FRAMES   images per input type [120]
#   FW_BENCH_SOURCE   image size [4000x3000]
#   FW_BENCH_MOVIE    movie size [1920x1080]
#   FW_BENCH_FPS      frames per second [30]
#   FW_BENCH_CODECS   codecs to run [h264 hevc prores422]
#   FW_BENCH_INPUTS   input types to run [jpg png]
#   FW_BENCH_QUALITY  standard, high or custom [high]
#   FW_BENCH_REPEATS  runs per case, medians reported [1]
#   FW_BENCH_CPUS     cores to pin to, as taskset -c takes them, e.g. 0,1 [all]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
export_movie=${1:-$here/build/bench/benchmarks/ExportMovie}
work=${2:-${TMPDIR:-/tmp}/frameweaver-export-bench}
frames=${FW_BENCH_FRAMES:-120}
source_size=${FW_BENCH_SOURCE:-4000x3000}
movie_size=${FW_BENCH_MOVIE:-1920x1080}
fps=${FW_BENCH_FPS:-30}
codecs=${FW_BENCH_CODECS:-h264 hevc prores422}
inputs=${FW_BENCH_INPUTS:-jpg png}
quality=${FW_BENCH_QUALITY:-high}
repeats=${FW_BENCH_REPEATS:-1}
cpus=${FW_BENCH_CPUS:-}
movie_width=${movie_size%x*}
movie_height=${movie_size#*x}

pin=()
[ -n "$cpus" ] && pin=(taskset -c "$cpus")
for tool in ffmpeg /usr/bin/time ${cpus:+taskset}; do
    command -v "$tool" >/dev/null || { echo "export_vs_ffmpeg: $tool is missing." >&2; exit 1; }
done
[ -x "$export_movie" ] || {
    echo "export_vs_ffmpeg: build ExportMovie first (not found at $export_movie)." >&2
    exit 1
}
mkdir -p "$work"

# Test images: a moving test pattern with film grain, so that neither JPEG nor PNG
# compresses unrealistically well. Made once per size and count, then reused.
generate() {
    local type=$1 dir="$work/$1-$source_size-$frames"
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir" && mkdir -p "$dir"
        echo "Generating $frames ${type^^} images of $source_size in $dir ..." >&2
        local quality_args=()
        [ "$type" = jpg ] && quality_args=(-q:v 2)
        [ "$type" = png ] && quality_args=(-pix_fmt rgb24)
        ffmpeg -nostdin -loglevel error -f lavfi \
            -i "testsrc2=size=$source_size:rate=$fps,noise=alls=10:allf=t" \
            -frames:v "$frames" "${quality_args[@]}" "$dir/img%04d.$type"
        touch "$dir/.complete"
    fi
    echo "$dir"
}

# Runs a command under /usr/bin/time -v; prints "wall_seconds cpu_seconds peak_kib".
measure() {
    local report
    report=$(mktemp)
    if ! "${pin[@]}" /usr/bin/time -v -o "$report" "$@" >/dev/null 2>"$report.err"; then
        echo "export_vs_ffmpeg: failed: $*" >&2
        cat "$report.err" >&2
        rm -f "$report" "$report.err"
        return 1
    fi
    awk -F': ' '
        /Elapsed \(wall clock\)/ {
            n = split($2, t, ":"); wall = 0
            for (i = 1; i <= n; i++) wall = wall * 60 + t[i]
        }
        /User time/ { user = $2 }
        /System time/ { sys = $2 }
        /Maximum resident set size/ { rss = $2 }
        END { printf "%.2f %.2f %d\n", wall, user + sys, rss }' "$report"
    rm -f "$report" "$report.err"
}

extension() { [ "$1" = prores422 ] && echo mov || echo mp4; }

# The frames of one input type as raw Y'CbCr of the movie size in the encoder's pixel
# format, for the floor. Made once per size, count and format, then reused.
raw_frames() {
    local type=$1 dir=$2 pixel_format=$3
    local raw="$work/raw-$type-$source_size-$frames-$movie_size-$pixel_format.yuv"
    if [ ! -f "$raw.complete" ]; then
        echo "Making raw $pixel_format frames of $movie_size from the ${type^^} images ..." >&2
        ffmpeg -nostdin -y -loglevel error -framerate "$fps" -i "$dir/img%04d.$type" \
            -vf "scale=$movie_width:$movie_height:flags=lanczos:out_color_matrix=bt709:out_range=tv" \
            -pix_fmt "$pixel_format" -f rawvideo "$raw"
        touch "$raw.complete"
    fi
    echo "$raw"
}

# The median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Medians per column of "wall cpu peak" lines.
medians() {
    local lines=$1 column result=()
    for column in 1 2 3; do
        result+=("$(awk -v c=$column '{ print $c }' <<<"$lines" | median)")
    done
    echo "${result[*]}"
}

printf '%-5s %-10s | %7s %7s %6s | %7s %7s %6s | %7s %7s %6s | %5s %5s %5s | %5s %5s\n' \
    input codec "wall s" "cpu s" "MiB" "wall s" "cpu s" "MiB" "wall s" "cpu s" "MiB" \
    "wall" "cpu" "mem" "wall" "cpu"
printf '%-5s %-10s | %-22s | %-22s | %-22s | %-17s | %s\n' "" "" "Frameweaver" "ffmpeg" \
    "encoder alone (floor)" "ours/ffmpeg" "ours/floor"
[ -n "$cpus" ] && echo "(every command pinned to cores $cpus; medians of $repeats runs)" \
    || echo "(medians of $repeats runs)"
status=0
for type in $inputs; do
    dir=$(generate "$type")
    list="$work/$type-list.txt"
    find "$dir" -name "img*.$type" | sort >"$list"
    for codec in $codecs; do
        ext=$(extension "$codec")
        read -r -a encoder <<<"$("$export_movie" --print-ffmpeg-options --codec "$codec" \
            --quality "$quality" --width "$movie_width" --height "$movie_height" --fps "$fps")"
        pixel_format=
        for ((i = 0; i + 1 < ${#encoder[@]}; i++)); do
            [ "${encoder[$i]}" = -pix_fmt ] && pixel_format=${encoder[$((i + 1))]}
        done
        raw=$(raw_frames "$type" "$dir" "$pixel_format")
        ours_movie="$work/ours-$type-$codec.$ext"
        theirs_movie="$work/ffmpeg-$type-$codec.$ext"
        floor_movie="$work/floor-$type-$codec.$ext"
        ours_runs= theirs_runs= floor_runs=
        failed=0
        for ((run = 0; run < repeats; run++)); do
            rm -f "$ours_movie" "$theirs_movie" "$floor_movie"
            sync
            ours=$(measure "$export_movie" --codec "$codec" --quality "$quality" \
                --width "$movie_width" --height "$movie_height" --fps "$fps" \
                --list "$list" --out "$ours_movie") || { failed=1; break; }
            theirs=$(measure ffmpeg -nostdin -y -loglevel error -framerate "$fps" \
                -i "$dir/img%04d.$type" \
                -vf "scale=$movie_width:$movie_height:flags=lanczos:out_color_matrix=bt709:out_range=tv" \
                "${encoder[@]}" "$theirs_movie") || { failed=1; break; }
            floor=$(measure ffmpeg -nostdin -y -loglevel error -f rawvideo \
                -pix_fmt "$pixel_format" -s "$movie_size" -framerate "$fps" -i "$raw" \
                "${encoder[@]}" "$floor_movie") || { failed=1; break; }
            ours_runs+="$ours"$'\n'
            theirs_runs+="$theirs"$'\n'
            floor_runs+="$floor"$'\n'
        done
        [ "$failed" = 0 ] || { status=1; continue; }
        read -r ow oc om <<<"$(medians "${ours_runs%$'\n'}")"
        read -r tw tc tm <<<"$(medians "${theirs_runs%$'\n'}")"
        read -r fw fc fm <<<"$(medians "${floor_runs%$'\n'}")"
        awk -v type="$type" -v codec="$codec" -v ow="$ow" -v oc="$oc" -v om="$om" \
            -v tw="$tw" -v tc="$tc" -v tm="$tm" -v fw="$fw" -v fc="$fc" -v fm="$fm" 'BEGIN {
                printf "%-5s %-10s | %7.2f %7.2f %6.0f | %7.2f %7.2f %6.0f | %7.2f %7.2f %6.0f |" \
                       " %5.2f %5.2f %5.2f | %5.2f %5.2f\n",
                    type, codec, ow, oc, om / 1024, tw, tc, tm / 1024, fw, fc, fm / 1024,
                    ow / tw, oc / tc, om / tm, ow / fw, oc / fc }'
    done
done
exit $status
