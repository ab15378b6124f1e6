#!/usr/bin/env bash
# Times Morvelle's conversion tool against ImageMagick's convert, GraphicsMagick's
# gm convert and libvips's own vips command, side by side, on the same inputs. Every tool
# gets the closest equivalent of what the application asks for ("formatOptions best").
#
# Inputs: photo-like synthetic JPEGs of 5120x2880 (photo5k.jpg) and 24 megapixels
# (photo.jpg, also as photo.png); real photographs from Debian's plasma-workspace-wallpapers,
# installed here like the peers: a 5120x2880 progressive JPEG (volna.jpg) and three
# 2560x1600 baseline JPEGs (leaf.jpg, path.jpg, kite.jpg); a 16384x16384 JPEG, the
# 5120x2880 photograph enlarged (huge.jpg); a 64x64 PNG for start-up cost (small.png,
# always timed to JPEG).
#
# Parts, chosen with PARTS (default "compare huge threads"):
#   compare   every input of INPUTS in every format of FORMATS, every tool
#   huge      huge.jpg in every format of FORMATS, every tool that can (HUGE_RUNS, default 1)
#   threads   our engine alone at 1, 2, 4, 8 and 16 threads (THREAD_COUNTS) on THREAD_INPUT
#             (default photo5k.jpg) for THREAD_FORMATS (default png tiff pdf jp2 gif); counts
#             above the processors this process may run on run as that many
#
#   bench/sips-vs-tools.sh                     # RUNS=3 by default; RUNS=1 for a quick look
#   FORMATS="gif png" bench/sips-vs-tools.sh   # only these formats' rows (or gif,png)
#   INPUTS="volna.jpg small.png" PARTS=compare bench/sips-vs-tools.sh
#   ONE_THREAD=1 bench/sips-vs-tools.sh        # every tool held to one thread
#   BUSY=1 bench/sips-vs-tools.sh              # beside two busy loops (yes > /dev/null)
#   TOOLS="sips vips" bench/sips-vs-tools.sh   # only these tools (sips first, for the ratios)
#
# Prints, per input, format and tool: median wall time, median CPU time (user and system),
# ratio to our tool, ratio to the fastest of the other three tools for that input and
# format ("/best"), peak memory (max RSS; for our tool, the engine's, which does the work),
# output size and, for lossy formats, PSNR against the source. The small picture's times
# are means of SMALL_BATCH (40) runs each, as the application sees them: our tool's first
# run starts the warm helper. After each part, and after making the inputs, it prints how
# long that took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${RUNS:-3}
huge_runs=${HUGE_RUNS:-1}
tools_given=${TOOLS:-sips convert gm vips}
read -r -a tools <<<"${tools_given//,/ }"
parts_given=${PARTS:-compare huge threads}
read -r -a parts <<<"${parts_given//,/ }"

need=()
for p in imagemagick graphicsmagick libvips-tools time plasma-workspace-wallpapers; do
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
busy=()
finish() {
    for pid in "${busy[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

if [ -n "${ONE_THREAD:-}" ]; then
    export SIPS_THREADS=1 VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1
fi

# Prints how long the step named took since the last call.
last_mark=$(date +%s%N)
mark() {
    local now
    now=$(date +%s%N)
    awk -v ns=$((now - last_mark)) -v what="$1" 'BEGIN { printf "# %s: %.1f s\n", what, ns / 1e9 }'
    last_mark=$now
}

wallpapers=/usr/share/wallpapers
# Makes one input in $work, if it is not there yet.
make_input() {
    local name=$1
    [ -e "$work/$name" ] && return
    case $name in
    photo5k.jpg | photo.jpg | photo.png | small.png) make_synthetic ;;
    volna.jpg) cp "$wallpapers/Volna/contents/images/5120x2880.jpg" "$work/$name" ;;
    leaf.jpg) cp "$wallpapers/FallenLeaf/contents/images/2560x1600.jpg" "$work/$name" ;;
    path.jpg) cp "$wallpapers/Path/contents/images/2560x1600.jpg" "$work/$name" ;;
    kite.jpg) cp "$wallpapers/Kite/contents/images/2560x1600.jpg" "$work/$name" ;;
    huge.jpg)
        make_input volna.jpg
        # Enlarged a little past the side, then cut to it: rounding may fall one short.
        vips resize "$work/volna.jpg" "$work/huge-big.jpg[Q=92]" 3.2002 --vscale 5.6893
        vips crop "$work/huge-big.jpg" "$work/huge.jpg[Q=92]" 0 0 16384 16384
        rm -f "$work/huge-big.jpg"
        ;;
    *)
        echo "unknown input: $name" >&2
        exit 2
        ;;
    esac
}

# A photo-like picture: smooth light, texture and fine noise, as a camera gives.
make_synthetic() {
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
}

formats_given=${FORMATS:-jpeg gif png tiff bmp tga psd jp2 pdf}
read -r -a formats <<<"${formats_given//,/ }"
inputs_given=${INPUTS:-photo5k.jpg photo.jpg photo.png volna.jpg leaf.jpg path.jpg kite.jpg small.png}
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
# also be set against the fastest of the other tools. The huge picture is too large for
# Debian's ImageMagick policy, which would also refuse to read our files back or compare
# them.
time_format() {
    local input=$1 format=$2 runs=$3
    local ours="" best="" rows=() huge=""
    [ "$input" = huge.jpg ] && huge=1
    for tool in "${tools[@]}"; do
        out="$work/out.$format"
        cmd=$(command_for "$tool" "$format" "$work/$input" "$out")
        times=() cpus=() peak=0 ok=1
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
            if ! /usr/bin/time -f "%e %M %U %S" -o "$work/time" $cmd >/dev/null 2>&1 || [ ! -s "$out" ]; then
                ok=0
            fi
            [ $ok = 1 ] || break
            read -r secs kb user sys <"$work/time"
            [ "$input" = small.png ] || times+=("$secs")
            cpus+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')")
            if ((kb > peak)); then peak=$kb; fi
        done
        # Our tool hands its command to the warm helper, which time(1) does not see: its
        # memory and CPU time are the engine's, measured on runs of the engine itself.
        if [ $ok = 1 ] && [ "$tool" = sips ] && [ -x "$engine" ]; then
            cpus=()
            for ((i = 0; i < runs; i++)); do
                rm -f "$out"
                /usr/bin/time -f "%e %M %U %S" -o "$work/time" ${cmd/#$sips/$engine} >/dev/null 2>&1 || break
                read -r secs kb user sys <"$work/time"
                cpus+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')")
                if ((kb > peak)); then peak=$kb; fi
            done
        fi
        # Our files must also read back in ImageMagick, the reader most people have (but
        # Debian's ImageMagick policy refuses every PDF).
        if [ $ok = 1 ] && [ "$tool" = sips ] && [ "$format" != pdf ] && [ -z "$huge" ] &&
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
        cpu=$(printf '%s\n' "${cpus[@]:-0}" | median)
        [ "$tool" = sips ] && ours=$med
        if [ "$tool" != sips ] && [ -z "$other" ] && { [ -z "$best" ] || awk -v a="$med" -v b="$best" 'BEGIN { exit !(a < b) }'; }; then
            best=$med
        fi
        ratio=$(awk -v a="$med" -v b="$ours" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
        size=$(($(stat -c %s "$out") / 1024))
        psnr="-"
        if { [ "$format" = jpeg ] || [ "$format" = gif ]; } && [ -z "$huge" ]; then
            # compare exits 1 whenever the two differ at all.
            psnr=$( (compare-im6.q16 -metric PSNR "$work/$input" "$out" null: 2>&1 || true) |
                awk '{printf "%.1f", $1}')
        fi
        rows+=("$(printf '%-11s %-5s %-8s %9s %6s %7s' "$input" "$format" "$tool" "$med" "$cpu" "$ratio")|$med|$(
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

# Our engine alone, one format at a time, at each thread count asked for.
time_threads() {
    local input=$1 format=$2 threads
    local out="$work/out.$format"
    for threads in "${thread_counts[@]}"; do
        local times=() cpus=() peak=0
        for ((i = 0; i < runs; i++)); do
            rm -f "$out"
            SIPS_THREADS=$threads /usr/bin/time -f "%e %M %U %S" -o "$work/time" \
                "$engine" --setProperty format "$format" --setProperty formatOptions best \
                "$work/$input" --out "$out" >/dev/null 2>&1 || {
                printf '%-11s %-5s %7s %9s\n' "$input" "$format" "$threads" fails
                continue 2
            }
            read -r secs kb user sys <"$work/time"
            times+=("$secs")
            cpus+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')")
            if ((kb > peak)); then peak=$kb; fi
        done
        printf '%-11s %-5s %7s %7s %9s %6s %9d\n' "$input" "$format" "$threads" \
            $((threads < processors ? threads : processors)) "$(printf '%s\n' "${times[@]}" | median)" \
            "$(printf '%s\n' "${cpus[@]}" | median)" $((peak / 1024))
    done
}

wanted() { [[ " ${parts[*]} " == *" $1 "* ]]; }

mark "setting up"
if [ -n "${BUSY:-}" ]; then
    for i in 1 2; do
        yes >/dev/null &
        busy+=($!)
    done
    echo "# beside two busy loops"
fi
[ -z "${ONE_THREAD:-}" ] || echo "# every tool on one thread"

if wanted compare; then
    for input in "${inputs[@]}"; do make_input "$input"; done
fi
if wanted huge; then make_input huge.jpg; fi
thread_input=${THREAD_INPUT:-photo5k.jpg}
thread_formats_given=${THREAD_FORMATS:-png tiff pdf jp2 gif}
read -r -a thread_formats <<<"${thread_formats_given//,/ }"
thread_counts_given=${THREAD_COUNTS:-1 2 4 8 16}
read -r -a thread_counts <<<"${thread_counts_given//,/ }"
if wanted threads; then make_input "$thread_input"; fi
mark "making the inputs"

header() {
    printf '%-11s %-5s %-8s %9s %6s %7s %7s %9s %10s %7s\n' input fmt tool "median s" "cpu s" \
        ratio /best "peak MB" "size KB" PSNR
}
if wanted compare; then
    header
    for input in "${inputs[@]}"; do
        row_formats=("${formats[@]}")
        # The small picture's JPEG row shows start-up cost, whatever formats were chosen.
        if [ "$input" = small.png ] && [[ " ${formats[*]} " != *" jpeg "* ]]; then
            row_formats=(jpeg "${formats[@]}")
        fi
        for format in "${row_formats[@]}"; do
            time_format "$input" "$format" "$runs"
        done
    done
    mark "comparison"
fi
if wanted huge; then
    header
    for format in "${formats[@]}"; do
        time_format huge.jpg "$format" "$huge_runs"
    done
    mark "16384x16384 picture"
fi
if wanted threads; then
    processors=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc)
    echo "# threads: $processors processors to run on; counts above that run as that many"
    printf '%-11s %-5s %7s %7s %9s %6s %9s\n' input fmt asked "at most" "median s" "cpu s" "peak MB"
    for format in "${thread_formats[@]}"; do
        time_threads "$thread_input" "$format"
    done
    mark "threads"
fi
