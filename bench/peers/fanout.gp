# Plot of the fan-out rows; run in the results directory (reads fanout-*.dat) with
# -e "payloads='64 1024 16384'".
if (!exists("payloads")) payloads = "64 1024 16384"
size_name(p) = p >= 1024 ? sprintf("%d KB", p / 1024) : sprintf("%d B", p)
set terminal pngcairo size 1500,950 font "DejaVu Sans,10"
set output "fanout.png"
set datafile separator "\t"
set datafile missing "-"
set style data linespoints
set grid ytics
set xtics (1, 2, 4)
set xrange [0.8:4.2]
set logscale y
set key noenhanced font ",8"
set multiplot layout 2, words(payloads) title "One publisher to N subscribers (medians of the repetitions)"
do for [i = 1:words(payloads)] {
    p = int(word(payloads, i))
    if (i == 1) { set key bottom left } else { unset key }
    set title sprintf("publisher's rate, %s (thousand messages/s; higher is better)", size_name(p))
    set xlabel "subscribers"
    plot for [c = 2:6] sprintf("fanout-tput-%d.dat", p) using 1:c title columnheader(c) lw 2 pt 7
}
do for [i = 1:words(payloads)] {
    p = int(word(payloads, i))
    if (i == 1) { set key top left } else { unset key }
    set title sprintf("round trip to the slowest subscriber, %s (µs; lower is better)", size_name(p))
    set xlabel "subscribers"
    plot for [c = 2:6] sprintf("fanout-lat-%d.dat", p) using 1:c title columnheader(c) lw 2 pt 7
}
unset multiplot
