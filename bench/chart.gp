# Build and walk cost per record for each contender, W1 and W2 side by side.
# gnuplot -e "data='chart.dat'; out='benchmarks.svg'" bench/chart.gp
set terminal svg size 960,540 dynamic font "sans,12"
set output out
set datafile separator "\t"
set datafile missing "-"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set ylabel "ns per record (lower is better)"
set xtics rotate by -25 nomirror
set title "Build and walk cost per record (median CPU time)"
plot data using 2:xtic(1) title "W1 build", '' using 3 title "W1 walk", \
     '' using 4 title "W2 build", '' using 5 title "W2 walk"
