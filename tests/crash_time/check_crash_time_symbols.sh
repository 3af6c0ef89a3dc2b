#!/usr/bin/env bash
# Fails when the crash-time code calls anything outside the allow-list: every
# symbol that its object files leave undefined (`nm -u`) and do not define
# themselves must be listed, with a reason, in the allow-list.
#
# Usage: check_crash_time_symbols.sh ALLOW_LIST ARCHIVE [EXPECTED_VIOLATIONS]
# With EXPECTED_VIOLATIONS (a file with one symbol a line), it passes only
# when every one of those symbols is reported: the checker's own test.
set -euo pipefail

allow_list=$1
archive=$2
expected=${3:-}
nm=${NM:-nm}

fail() {
    echo "check_crash_time_symbols: $*" >&2
    exit 2
}
[[ -r $allow_list ]] || fail "cannot read the allow-list $allow_list"
[[ -r $archive ]] || fail "cannot read $archive"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The allow-list: "symbol | reason" lines; "#" starts a comment line.
bad_entries=0
: >"$work/allowed"
while IFS= read -r line || [[ -n $line ]]; do
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    symbol=${line%%|*}
    reason=${line#*|}
    symbol=$(sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' <<<"$symbol")
    reason=$(sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' <<<"$reason")
    if [[ $line != *"|"* || -z $symbol || -z $reason ]]; then
        echo "allow-list entry without a reason: $line" >&2
        bad_entries=1
        continue
    fi
    printf '%s\n' "$symbol" >>"$work/allowed"
done <"$allow_list"

# Functions that are never safe at crash time, whatever the list says:
# allocation, locks (function-local statics take one), exceptions, stdio
# formatting, locale-dependent texts, and the loader's lock.
never='^(malloc|calloc|realloc|free|aligned_alloc|posix_memalign|memalign|valloc|strdup|strndup'
never+='|operator new.*|operator delete.*|__cxa_guard_(acquire|release|abort)'
never+='|__cxa_(throw|rethrow|allocate_exception|begin_catch|end_catch)|_Unwind_Resume|__gxx_personality_v0'
never+='|std::__throw_.*|pthread_mutex_.*|pthread_rwlock_.*|pthread_cond_.*|pthread_once|pthread_getattr_np'
never+='|[a-z]*printf|puts|fputs|fwrite|fopen|fclose|fflush|perror|strerror|strerror_r|localtime|localtime_r'
never+='|gmtime|mktime|strftime|dladdr|dladdr1|dlsym|dlopen|dl_iterate_phdr|abort|exit|atexit|opendir|readdir|closedir'
never+='|setlocale|uselocale|newlocale|getenv|syslog)$'
if grep -E "$never" "$work/allowed" >"$work/refused"; then
    echo "the allow-list holds functions that are never async-signal-safe:" >&2
    sed 's/^/  /' "$work/refused" >&2
    bad_entries=1
fi
[[ $bad_entries == 0 ]] || exit 1
sort -u -o "$work/allowed" "$work/allowed"

# What the archive defines itself, and what each of its members leaves undefined.
"$nm" -C --defined-only "$archive" 2>/dev/null |
    sed -n -E 's/^[0-9a-fA-F]+ [A-Za-z] //p' | sort -u >"$work/defined"
"$nm" -u -C "$archive" |
    awk '/^[^ ].*:$/ { member = substr($0, 1, length($0) - 1); next }
         /^ +[Uw] / { sub(/^ +[Uw] /, ""); print $0 "\t" member }' |
    sort -u >"$work/undefined"
[[ -s $work/undefined || -s $work/defined ]] || fail "$archive has no symbols"

# Undefined symbols that are neither defined in the archive nor allowed.
awk -F'\t' 'FILENAME == ARGV[1] { known[$0] = 1; next }
            !($1 in known) { print }' \
    <(sort -u "$work/defined" "$work/allowed") "$work/undefined" >"$work/violations"

if [[ -n $expected ]]; then
    cut -f1 "$work/violations" | sort -u >"$work/found"
    grep -v -E '^[[:space:]]*(#|$)' "$expected" | sort -u >"$work/wanted"
    comm -23 "$work/wanted" "$work/found" >"$work/missed"
    if [[ -s $work/missed ]]; then
        echo "the checker missed calls that are not async-signal-safe:" >&2
        sed 's/^/  /' "$work/missed" >&2
        exit 1
    fi
    echo "the checker reports every expected call: $(paste -sd' ' "$work/wanted")"
    exit 0
fi

if [[ -s $work/violations ]]; then
    echo "crash-time code calls functions that are not known to be async-signal-safe:" >&2
    awk -F'\t' '{ printf "  %s  (in %s)\n", $1, $2 }' "$work/violations" >&2
    echo "Move the code that needs them out of src/crash/async_safe/, or, if a" >&2
    echo "function really is async-signal-safe, add it with its reason to $allow_list." >&2
    exit 1
fi
echo "crash-time code: all $(cut -f1 "$work/undefined" | sort -u | wc -l) symbols it leaves undefined are its own or allowed"
