# Plot of the bridge benchmark; run in the results directory (reads bridge-lat.dat and
# bridge-tput.dat, one row per payload, one column per transport).
set terminal pngcairo size 1200,800 font "DejaVu Sans,10"
set output "bridge.png"
set datafile separator "\t"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key top left noenhanced
set multiplot layout 2,1 title "pxr bridge and NATS on one machine (medians of the runs)"
set title "Round trip (µs; lower is better)"
set ylabel "µs"
set logscale y
set yrange [20:2000]
plot "bridge-lat.dat" using 2:xtic(1) title columnheader(2), \
     "" using 3 title columnheader(3), "" using 4 title columnheader(4), \
     "" using 5 title columnheader(5)
unset logscale y
set title "One-way throughput (thousand messages/s; higher is better)"
set ylabel "k msgs/s"
plot "bridge-tput.dat" using 2:xtic(1) title columnheader(2), \
     "" using 3 title columnheader(3), "" using 4 title columnheader(4), \
     "" using 5 title columnheader(5)
unset multiplot
