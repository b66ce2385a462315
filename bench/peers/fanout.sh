# Fan-out and backpressure rows of the peer benchmark: sourced by run.sh, which gives BIN, NS,
# OUT, BUILD, PAYLOADS, WARM, COUNT, SECS, QUICK, HERE, ROUDI_PID and log.
#   FAN_TRANSPORTS  subset of the fan-out rows (default: every one built; iceoryx's only while
#                   RouDi runs)
#   FAN_SUBSCRIBERS subscriber counts (default: "1 2 4")
# Round trips to N subscribers take up to N times as long: a fifth of COUNT of them.
FAN_RAW=$OUT/fanout-raw.csv
BP_RAW=$OUT/backpressure-raw.csv
FAN_SUBSCRIBERS=${FAN_SUBSCRIBERS:-"1 2 4"}
FAN_COUNT=$((COUNT / 5))
if [ "$QUICK" = 1 ]; then BP_SECS=2; else BP_SECS=10; fi
echo "transport,test,payload,subscribers,rep,ok,median_us,p99_us,msgs_per_s,messages,cpu_us_per_msg,waits_per_msg,publisher_cpu_pct,subscribers_cpu_pct,error" >"$FAN_RAW"
echo "form,rep,ok,secs,work_us,produced,consumed,lost,out_of_order,fatal_code,internal_errors,timeups,producer_cpu_pct,cpu_us_per_msg,sleeps_per_msg,waiting_pct,consumer_rate,error" >"$BP_RAW"

fanout_measure() {
    local line
    line=$(timeout 300 "${NS[@]}" "$BIN" fanout measure --warm "$WARM" --count "$FAN_COUNT" \
        --secs "$SECS" --tune "$@" 2>>"$BUILD/fanout.log" || true)
    [ -n "$line" ] || line="$2,$4,$6,$8,0,0,0,0,0,0,0,0,0,0,no result (crashed or timed out)"
    echo "$line" >>"$FAN_RAW"
    log "$line"
}

# One repetition: each payload and subscriber count with every transport in turn, so that the
# ratios taken within a repetition compare neighbours in time; then the backpressure forms.
fanout_rep() {
    local transports payload n t form line
    transports=${FAN_TRANSPORTS:-$("$BIN" fanout list)}
    [ -n "$ROUDI_PID" ] || transports=$(tr ' ' '\n' <<<"$transports" | grep -v iceoryx | xargs)
    for payload in $PAYLOADS; do
        for n in $FAN_SUBSCRIBERS; do
            for t in $transports; do
                fanout_measure --transport "$t" --test tput --payload "$payload" --subscribers "$n" --rep "$1"
                fanout_measure --transport "$t" --test lat --payload "$payload" --subscribers "$n" --rep "$1"
            done
        done
    done
    for form in alloc send; do
        line=$(timeout 300 "${NS[@]}" "$BIN" backpressure --form "$form" --secs "$BP_SECS" \
            --rep "$1" 2>>"$BUILD/fanout.log" || true)
        [ -n "$line" ] || line="$form,$1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,no result (crashed or timed out)"
        echo "$line" >>"$BP_RAW"
        log "$line"
    done
}

fanout_report() {
    "$BIN" fanout report "$FAN_RAW" "$BP_RAW" "$OUT" >"$OUT/fanout.md.tmp"
    {
        echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)), kernel $(uname -r)$([ "$QUICK" = 1 ] && echo ', quick mode'). The publisher is pinned alone to core 1, the subscribers all to core 0; in the backpressure rows the consumer is on core 1, the producer on core 0."
        echo
        cat "$OUT/fanout.md.tmp"
    } >"$OUT/fanout.md"
    rm -f "$OUT/fanout.md.tmp"
    if command -v gnuplot >/dev/null 2>&1; then
        (cd "$OUT" && gnuplot -e "payloads='$PAYLOADS'" "$HERE/fanout.gp") && log "plot: $OUT/fanout.png"
    fi
}
