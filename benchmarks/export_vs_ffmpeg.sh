#!/usr/bin/env bash
# Times one export with Frameweaver's engine against the ffmpeg command line doing the same
# job: the same generated still images (JPEG and PNG), stretched with Lanczos to the movie
# size, converted with the BT.709 matrix to video range, tagged BT.709 and encoded with the
# same encoder and options (asked of ExportMovie, so both sides always agree).
#
# Reports wall time, CPU time (user + system) and peak resident memory of both, and the
# ratio ours / ffmpeg, for every input type and codec, in one run.
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
movie_width=${movie_size%x*}
movie_height=${movie_size#*x}

for tool in ffmpeg /usr/bin/time; do
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
    if ! /usr/bin/time -v -o "$report" "$@" >/dev/null 2>"$report.err"; then
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

printf '%-5s %-10s | %8s %8s %7s | %8s %8s %7s | %6s %6s %6s\n' \
    input codec "wall s" "cpu s" "MiB" "wall s" "cpu s" "MiB" "wall" "cpu" "mem"
printf '%-5s %-10s | %-25s | %-25s | %s\n' "" "" "Frameweaver" "ffmpeg" "ratio ours/ffmpeg"
status=0
for type in $inputs; do
    dir=$(generate "$type")
    list="$work/$type-list.txt"
    find "$dir" -name "img*.$type" | sort >"$list"
    for codec in $codecs; do
        ext=$(extension "$codec")
        read -r -a encoder <<<"$("$export_movie" --print-ffmpeg-options --codec "$codec" \
            --quality "$quality" --width "$movie_width" --height "$movie_height" --fps "$fps")"
        ours_movie="$work/ours-$type-$codec.$ext"
        theirs_movie="$work/ffmpeg-$type-$codec.$ext"
        rm -f "$ours_movie" "$theirs_movie"
        sync
        ours=$(measure "$export_movie" --codec "$codec" --quality "$quality" \
            --width "$movie_width" --height "$movie_height" --fps "$fps" \
            --list "$list" --out "$ours_movie") || { status=1; continue; }
        theirs=$(measure ffmpeg -nostdin -y -loglevel error -framerate "$fps" \
            -i "$dir/img%04d.$type" \
            -vf "scale=$movie_width:$movie_height:flags=lanczos:out_color_matrix=bt709:out_range=tv" \
            "${encoder[@]}" "$theirs_movie") || { status=1; continue; }
        read -r ow oc om <<<"$ours"
        read -r tw tc tm <<<"$theirs"
        awk -v type="$type" -v codec="$codec" -v ow="$ow" -v oc="$oc" -v om="$om" \
            -v tw="$tw" -v tc="$tc" -v tm="$tm" 'BEGIN {
                printf "%-5s %-10s | %8.2f %8.2f %7.0f | %8.2f %8.2f %7.0f | %6.2f %6.2f %6.2f\n",
                    type, codec, ow, oc, om / 1024, tw, tc, tm / 1024,
                    ow / tw, oc / tc, om / tm }'
    done
done
exit $status
