# Launcher and platform limit against the archive size; called with datafile and outfile set.
set terminal pngcairo size 900,560 noenhanced
set output outfile
set title "One run under Wine: launcher against the decode-and-write limit"
set xlabel "archive size (MB)"
set ylabel "median wall time (s)"
set key left top
set grid
plot datafile using ($1/1048576):2 with linespoints lw 2 pt 7 title "launcher (whole run)", \
     datafile using ($1/1048576):3 with linespoints lw 2 pt 5 title "limit: decode and write", \
     datafile using ($1/1048576):4 with linespoints lw 2 pt 9 title "cached mode: a later start"
