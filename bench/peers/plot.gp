# Plot of the peer benchmark; run in the results directory (reads peers-*.dat).
set terminal pngcairo size 1500,1150 font "DejaVu Sans,10"
set output "peers.png"
set datafile separator "\t"
set datafile missing "-"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key top left
set xtics rotate by -30 left noenhanced
set multiplot layout 3,1 title "libpxrlib and its peers (medians of the repetitions)"

set title "Round-trip latency (µs, log scale; lower is better)"
set logscale y
set ylabel "µs"
plot "peers-lat.dat" using 2:xtic(1) title columnheader(2), \
     "" using 3 title columnheader(3), "" using 4 title columnheader(4)

set title "One-way throughput (thousand messages/s, log scale; higher is better)"
set ylabel "k msgs/s"
plot "peers-tput.dat" using 2:xtic(1) title columnheader(2), \
     "" using 3 title columnheader(3), "" using 4 title columnheader(4)

unset logscale y
set key center right
set title "libpxrlib: producers into one consumer (thousand messages/s, 64-byte messages)"
set ylabel "k msgs/s"
set xtics norotate
set style data linespoints
set yrange [0:*]
plot "peers-multi.dat" using 2:xtic(1) title "lock-free pool" lw 2 pt 7, \
     "" using 3 title "locked pool" lw 2 pt 5, \
     "" using 4 title "ring queues" lw 2 pt 9
unset multiplot
