#!/bin/sh
# Measures a whole dictation with the end-to-end harness (tests/integration/e2e): the real quorbell binary on
# a private display, sound server and session, a target application, the trigger key pressed through XTest,
# and local servers that transcribe and polish at once. Each round dictates into a Qt line edit and into a
# GTK text view nested deep in containers. Prints, over the rounds, the median and the worst of:
#   start_key_to_capture_ms   the key press until the app's microphone stream exists on the sound server
#   stop_key_to_text_ms       the key release until the polished text is in the target's field (the app's own
#                             overhead: the 100 ms tail pause, encoding, two local requests and the paste);
#                             stop_key_to_text_gtk_ms the same into the GTK field
#   idle_rss_after_start_kb   the app's resident memory once its window is up and it waits for the key
# and the app's own trace of the same dictations (QUORBELL_TRACE=1), in ms since it saw the stop key, with
# _gtk_ms for the GTK field: tail_end, engine_final, lexicon_recall, first_token, last_token, paste_sent,
# clipboard_requested (as the app's restore poll first sees it), and main_thread_max_stall_ms, the longest
# lateness of the main thread's event loop from the start key to the end of the dictation.
# Usage: bench/e2e/measure.sh [build folder] [rounds]   (defaults: build, 5)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
rounds=${2:-5}
cmake --build "$build" --target e2e_dictation_test > /dev/null
figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
i=0
while [ "$i" -lt "$rounds" ]; do
    GTEST_FILTER='*HoldToTalkTypesThePolishedText*' ctest --test-dir "$build" -L e2e -R e2e_dictation_test -V \
        2>&1 | sed -n 's/.*E2E-FIGURE //p' >> "$figures"
    i=$((i + 1))
done
awk '
    { values[$1] = values[$1] " " $2; unit[$1] = $3 }
    END {
        for (name in values) {
            n = split(values[name], v, " ")
            for (i = 1; i <= n; i++)
                for (j = i + 1; j <= n; j++)
                    if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            median = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
            printf "%-30s median %8.1f %s   worst %8.1f %s   (%d rounds)\n", name, median, unit[name], v[n], unit[name], n
        }
    }' "$figures" | sort
