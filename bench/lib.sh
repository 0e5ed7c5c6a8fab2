# Sourced by the bench scripts: timing, medians, table rows, and the manifests of served folders.
# The scripts set $work (their temporary folder) before they call manifest().

# Seconds a command takes, by bash's own clock (no process started to read it).
seconds() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }'
}
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
minimum() {
    printf '%s\n' "$@" | sort -g | head -n 1
}
# The value after "<key>:" in a bench program's output.
field() {
    awk -v key="$1:" '$0 ~ "^" key { print $(NF - 1); exit }'
}
calc() {
    awk "BEGIN { printf \"%.${2:-2}f\", $1 }"
}
row() {
    printf '%-34s %-22s %-34s %-7s %s\n' "$@"
}
# Reads every file below a folder once, so that the tool measured next reads it from memory, as
# every other tool did: this machine's memory reclaim pages out files unread for a minute, and
# whichever tool read them first would pay for the disk alone. Before that, what earlier commands
# wrote goes to the disk: its writeback would otherwise land on whichever tool runs when it starts.
warm_up() {
    sync
    find "$1" -type f -print0 | xargs -0 cat >/dev/null
}

# A manifest of every file below $work/site/<folder>, paths relative to it, at
# $work/site/<folder>.json (or the file given), each file served at <base>/<folder>/<path>
# (nginx over plain HTTP unless a base URL is given).
manifest() {
    local folder=$1 base=${2:-$NGINX_URL} out=${3:-$work/site/$1.json}
    (
        cd "$work/site/$folder"
        find . -type f -printf '%P\n' | sort >"$work/list"
        tr '\n' '\0' <"$work/list" | xargs -0 sha256sum | cut -c1-64 >"$work/digests"
        tr '\n' '\0' <"$work/list" | xargs -0 stat -c %s >"$work/sizes"
    )
    paste -d' ' "$work/digests" "$work/sizes" "$work/list" | awk -v base="$base/$folder" '
        BEGIN { printf "{\"version\": \"bench\", \"files\": [" }
        { printf "%s\n{\"path\": \"%s\", \"size\": %s, \"sha256\": \"%s\", \"url\": \"%s/%s\"}",
                 (NR > 1 ? "," : ""), $3, $2, $1, base, $3 }
        END { print "]}" }' >"$out"
}


# One run of the launcher's download (bench_download, below $bench) into the given game folder,
# with the given number of parallel transfers: its wall time and peak memory (MiB).
download_from() {
    local url=$1 game=$2 threads=$3
    shift 3
    "$bench/bench_download" "$url" "$game" "$threads" "$@" >"$work/out"
    echo "$(field "wall time" <"$work/out") $(field "peak RSS" <"$work/out")"
}
# One curl run: wall time and peak memory (MiB).
curl_run() {
    local time
    time=$(seconds /usr/bin/time -f %M -o "$work/rss" curl -sfS --no-progress-meter "$@")
    echo "$time $(calc "$(cat "$work/rss") / 1024" 1)"
}

# A test certificate authority and a certificate it signed for 127.0.0.1, in the given folder:
# ca.pem (what a player's [Security] CaCertificates names), cert.pem and key.pem (the server's).
make_test_ca() {
    local dir=$1
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Wardgate bench CA" \
        -keyout "$dir/ca-key.pem" -out "$dir/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$dir/key.pem" \
        -out "$dir/cert.csr" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        >"$dir/cert.ext"
    openssl x509 -req -in "$dir/cert.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca-key.pem" \
        -CAcreateserial -days 2 -extfile "$dir/cert.ext" -out "$dir/cert.pem" 2>/dev/null
}

# `alternate <runs> <served folder> <peer> <ours>`: runs the two commands <runs> times each, given
# the run's number; the peer goes first in odd runs, the launcher in even ones, and each starts
# from the same state: what earlier runs wrote is on the disk and the served files are in memory.
# Whichever tool runs second otherwise inherits the first one's writeback and evictions.
# (Its locals are named apart: bash's functions see their callers' locals, and the commands add
# to arrays such as `ours` of the caller.)
alternate() {
    local alt_runs=$1 alt_served=$2 alt_peer=$3 alt_ours=$4 alt_i
    for alt_i in $(seq "$alt_runs"); do
        if ((alt_i % 2)); then
            warm_up "$alt_served"
            $alt_peer "$alt_i"
            warm_up "$alt_served"
            $alt_ours "$alt_i"
        else
            warm_up "$alt_served"
            $alt_ours "$alt_i"
            warm_up "$alt_served"
            $alt_peer "$alt_i"
        fi
    done
}

# "<median> s (min <minimum>)" of the given seconds.
median_min() {
    echo "$(calc "$(median "$@")") s (min $(calc "$(minimum "$@")"))"
}
