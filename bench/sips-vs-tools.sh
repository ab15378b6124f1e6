#!/usr/bin/env bash
# Times Morvelle's conversion tool against ImageMagick's convert, GraphicsMagick's
# gm convert and libvips's own vips command, side by side, on the same inputs: a
# 5120x2880 (14.7-megapixel) and a 24-megapixel photo-like JPEG, the latter also as PNG,
# and a 64x64 PNG for start-up cost (always timed to JPEG). Every tool gets the closest
# equivalent of what the application asks for ("formatOptions best").
#
#   bench/sips-vs-tools.sh            # RUNS=3 by default; RUNS=1 for a quick look
#   FORMATS="gif png" bench/sips-vs-tools.sh   # only these formats' rows (or gif,png)
#   INPUTS="photo5k.jpg small.png" bench/sips-vs-tools.sh   # only these inputs
#   SIPS_THREADS=1 bench/sips-vs-tools.sh      # our tool on one thread
#
# Prints, per input, format and tool: median wall time, ratio to our tool, ratio to the
# fastest of the other three tools for that input and format ("/best"), peak memory
# (max RSS; for our tool, the engine's, which does the work), output size and, for lossy
# formats, PSNR against the source. The small picture's times are means of SMALL_BATCH (40)
# runs each, as the application sees them: our tool's first run starts the warm helper.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${RUNS:-3}

need=()
for p in imagemagick graphicsmagick libvips-tools time; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}" >&2
fi

sips=${SIPS:-$root/build/libexec/morvelle/sips}
if [ ! -x "$sips" ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build --target sips --parallel 2
fi
engine=${sips%/*}/sips-engine
small_batch=${SMALL_BATCH:-40}
im=/usr/bin/convert-im6.q16
gm=/usr/bin/gm

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A photo-like picture: smooth light, texture and fine noise, as a camera gives.
vips xyz "$work/xy.v" 6000 4000
vips extract_band "$work/xy.v" "$work/x.v" 0
vips extract_band "$work/xy.v" "$work/y.v" 1
vips linear "$work/x.v" "$work/r.v" 0.03 40
vips linear "$work/y.v" "$work/g.v" 0.04 30
vips add "$work/x.v" "$work/y.v" "$work/xy1.v"
vips linear "$work/xy1.v" "$work/b.v" 0.015 60
vips bandjoin "$work/r.v $work/g.v $work/b.v" "$work/base.v"
vips gaussnoise "$work/n.v" 6000 4000 --sigma 12 --mean 0
vips perlin "$work/p.v" 6000 4000 --cell-size 64
vips linear "$work/p.v" "$work/p2.v" 80 0
vips add "$work/base.v" "$work/n.v" "$work/t1.v"
vips add "$work/t1.v" "$work/p2.v" "$work/t2.v"
vips cast "$work/t2.v" "$work/photo.v" uchar
vips copy "$work/photo.v" "$work/photo.jpg[Q=92]"
vips copy "$work/photo.v" "$work/photo.png"
vips crop "$work/photo.v" "$work/photo5k.v" 0 0 5120 2880
vips copy "$work/photo5k.v" "$work/photo5k.jpg[Q=92]"
vips crop "$work/photo.v" "$work/small.png" 1000 1000 64 64
rm -f "$work"/*.v

formats_given=${FORMATS:-jpeg gif png tiff bmp tga psd jp2 pdf}
read -r -a formats <<<"${formats_given//,/ }"
inputs_given=${INPUTS:-photo5k.jpg photo.jpg photo.png small.png}
read -r -a inputs <<<"${inputs_given//,/ }"

# The command each tool gets for one conversion.
command_for() {
    local tool=$1 format=$2 in=$3 out=$4
    case $tool in
    sips) echo "$sips --setProperty format $format --setProperty formatOptions best $in --out $out" ;;
    convert | gm)
        local bin=$im opts=""
        [ "$tool" = gm ] && bin="$gm convert"
        case $format in
        jpeg) opts="-quality 100 -sampling-factor 1x1" ;;
        tiff) opts="-compress LZW" ;;
        jp2) opts="-quality 100" ;;
        pdf) opts="-compress Zip" ;;
        esac
        echo "$bin $in $opts $out"
        ;;
    vips)
        case $format in
        jpeg) echo "vips jpegsave $in $out --Q 100 --subsample-mode off" ;;
        png) echo "vips pngsave $in $out" ;;
        tiff) echo "vips tiffsave $in $out --compression lzw --predictor horizontal" ;;
        gif) echo "vips gifsave $in $out" ;;
        jp2) echo "vips jp2ksave $in $out --lossless" ;;
        *) echo "vips magicksave $in $out --format $format" ;;
        esac
        ;;
    esac
}

# Whether a file's first bytes are those of the format (TGA has none to check).
written_as() {
    local format=$1 file=$2 head
    head=$(head -c 12 "$file" | od -An -tx1 | tr -d ' \n')
    case $format in
    jpeg) [[ $head == ffd8* ]] ;;
    gif) [[ $head == 474946* ]] ;;
    png) [[ $head == 89504e47* ]] ;;
    tiff) [[ $head == 49492a00* || $head == 4d4d002a* ]] ;;
    bmp) [[ $head == 424d* ]] ;;
    psd) [[ $head == 38425053* ]] ;;
    jp2) [[ $head == 0000000c6a502020* || $head == ff4fff51* ]] ;;
    pdf) [[ $head == 25504446* ]] ;;
    *) true ;;
    esac
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# One input's rows for one format, printed once every tool has run so that each row can
# also be set against the fastest of the other tools.
time_format() {
    local input=$1 format=$2
    local ours="" best="" rows=()
    for tool in sips convert gm vips; do
        out="$work/out.$format"
        cmd=$(command_for "$tool" "$format" "$work/$input" "$out")
        times=() peak=0 ok=1
        for ((i = 0; i < runs; i++)); do
            rm -f "$out"
            if [ "$input" = small.png ]; then
                # Too short for time(1)'s hundredths: the mean of a batch of runs, in ms.
                local start end
                start=$(date +%s%N)
                for ((j = 0; j < small_batch; j++)); do
                    rm -f "$out"
                    $cmd >/dev/null 2>&1 || ok=0
                done
                end=$(date +%s%N)
                times+=("$(awk -v ns=$((end - start)) -v n=$small_batch 'BEGIN { printf "%.4f", ns / n / 1e9 }')")
            fi
            rm -f "$out"
            if ! /usr/bin/time -f "%e %M" -o "$work/time" $cmd >/dev/null 2>&1 || [ ! -s "$out" ]; then
                ok=0
            fi
            [ $ok = 1 ] || break
            read -r secs kb <"$work/time"
            [ "$input" = small.png ] || times+=("$secs")
            if ((kb > peak)); then peak=$kb; fi
        done
        # Our tool hands its command to the warm helper, which time(1) does not see: its
        # memory is the engine's, measured on a run of the engine itself.
        if [ $ok = 1 ] && [ "$tool" = sips ] && [ -x "$engine" ]; then
            rm -f "$out"
            if /usr/bin/time -f "%e %M" -o "$work/time" ${cmd/#$sips/$engine} >/dev/null 2>&1; then
                read -r secs kb <"$work/time"
                if ((kb > peak)); then peak=$kb; fi
            fi
        fi
        # Our files must also read back in ImageMagick, the reader most people have (but
        # Debian's ImageMagick policy refuses every PDF).
        if [ $ok = 1 ] && [ "$tool" = sips ] && [ "$format" != pdf ] &&
            ! identify-im6.q16 "$out" >/dev/null 2>&1; then
            rows+=("$(printf '%-11s %-5s %-8s %9s' "$input" "$format" "$tool" "unreadable")")
            continue
        fi
        if [ $ok = 0 ]; then
            rows+=("$(printf '%-11s %-5s %-8s %9s' "$input" "$format" "$tool" "fails")")
            continue
        fi
        # gm writes a JPEG when asked for JPEG 2000: such a row takes no part in "/best".
        local other=""
        written_as "$format" "$out" || other=" (not $format)"
        med=$(printf '%s\n' "${times[@]}" | median)
        [ "$tool" = sips ] && ours=$med
        if [ "$tool" != sips ] && [ -z "$other" ] && { [ -z "$best" ] || awk -v a="$med" -v b="$best" 'BEGIN { exit !(a < b) }'; }; then
            best=$med
        fi
        ratio=$(awk -v a="$med" -v b="$ours" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
        size=$(($(stat -c %s "$out") / 1024))
        psnr="-"
        if [ "$format" = jpeg ] || [ "$format" = gif ]; then
            # compare exits 1 whenever the two differ at all.
            psnr=$( (compare-im6.q16 -metric PSNR "$work/$input" "$out" null: 2>&1 || true) |
                awk '{printf "%.1f", $1}')
        fi
        rows+=("$(printf '%-11s %-5s %-8s %9s %7s' "$input" "$format" "$tool" "$med" "$ratio")|$med|$(
            printf '%9d %10d %7s%s' $((peak / 1024)) "$size" "$psnr" "$other")")
    done
    local row head secs tail
    for row in "${rows[@]}"; do
        if [[ $row == *"|"* ]]; then
            IFS='|' read -r head secs tail <<<"$row"
            printf '%s %7s %s\n' "$head" "$(awk -v a="$secs" -v b="$best" \
                'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')" "$tail"
        else
            printf '%s\n' "$row"
        fi
    done
}

printf '%-11s %-5s %-8s %9s %7s %7s %9s %10s %7s\n' input fmt tool "median s" ratio /best "peak MB" \
    "size KB" PSNR
for input in "${inputs[@]}"; do
    row_formats=("${formats[@]}")
    # The small picture's JPEG row shows start-up cost, whatever formats were chosen.
    if [ "$input" = small.png ] && [[ " ${formats[*]} " != *" jpeg "* ]]; then
        row_formats=(jpeg "${formats[@]}")
    fi
    for format in "${row_formats[@]}"; do
        time_format "$input" "$format"
    done
done
