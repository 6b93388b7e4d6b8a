# Shared by bench/transcode.sh, bench/jobs.sh and bench/measure_agreement.sh
# (sourced, not run): paths, checks, hyperfine and peak-memory helpers.
# Everything they need is made by bench/setup.sh.

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_build=${1:-${SONORIX_BENCH_BUILD:-$bench_root/build-bench}}
out=$bench_root/bench/out
media=$out/media
ref=$out/ref
cli=$bench_build/src/cli/sonorix-cli
runs=${RUNS:-5}
mkdir -p "$out/tmp"

for need in "$cli" "$ref/peak_limit" "$ref/convert_limit" "$media/MD5SUMS"; do
    [ -e "$need" ] || { echo "missing $need: run bench/setup.sh first" >&2; exit 1; }
done
for tool in hyperfine python3 sox lame /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "needs $tool: run bench/setup.sh first" >&2; exit 1; }
done

# Load on the machine while a group ran: other workers share the 2 cores.
load() { cut -d' ' -f1-3 /proc/loadavg; }

# hyperfine_group NAME COMMAND... : warm cache (2 warm-up runs), $runs runs
# each, results in bench/out/NAME.json and NAME.md.
hyperfine_group() {
    local name=$1; shift
    echo "== $name (load before: $(load))" >&2
    hyperfine -N --warmup 2 --runs "$runs" --style basic \
        --export-json "$out/$name.json" --export-markdown "$out/$name.md" "$@" >&2
    echo "== $name done (load after: $(load))" >&2
}

# rss_median N COMMAND... : median over N runs of the maximum resident set
# size in kB (/usr/bin/time -v); also the median wall time in s, after a tab.
rss_median() {
    local n=$1; shift
    local i rss=() wall=()
    for ((i = 0; i < n; i++)); do
        local report
        report=$(/usr/bin/time -v "$@" 2>&1 >/dev/null)
        rss+=("$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$report")")
        wall+=("$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,p,":"); s=0; for(k=1;k<=n;k++) s=s*60+p[k]; print s}' <<<"$report")")
    done
    printf '%s\t%s\n' "$(printf '%s\n' "${rss[@]}" | sort -n | sed -n "$(( (n + 1) / 2 ))p")" \
                      "$(printf '%s\n' "${wall[@]}" | sort -n | sed -n "$(( (n + 1) / 2 ))p")"
}

# The 60-minute MP3: music.wav six times over, encoded as the corpus encodes
# music.mp3 (lame CBR 192k), so that only the length differs. Deterministic.
make_hour_mp3() {
    local dest=$out/hour_music.mp3
    [ -s "$dest" ] && return 0
    echo "making $dest (music.wav x6, lame -b 192)" >&2
    local wav=$out/tmp/hour_music.wav
    sox -R -D "$media/music.wav" "$media/music.wav" "$media/music.wav" \
        "$media/music.wav" "$media/music.wav" "$media/music.wav" "$wav"
    lame --quiet -b 192 "$wav" "$dest.part"
    rm -f "$wav"
    mv "$dest.part" "$dest"
}
