# Draws a soak run's CSV (bench/soak.sh): resident memory, threads and open
# descriptors of brivane, and the stored MT, report and MO totals against
# what the status block counted. Call with -e "csv='...'; png='...'".
set datafile separator ","
set terminal pngcairo size 1200,900 font "sans,10" noenhanced
set output png
set key autotitle columnhead top left
set xlabel "seconds"
set grid
set multiplot layout 2,2 title "brivane soak run"

set title "resident memory (MiB)"
set yrange [0:*]
plot csv using 1:($2/1024) with lines lw 2 title "RSS"

set title "threads and open descriptors"
plot csv using 1:3 with lines lw 2 title "threads", \
     csv using 1:4 with lines lw 2 title "descriptors"

set title "totals: database rows vs status-block counters"
plot csv using 1:"db_submitlog" with lines lw 2 title "SubmitLog rows", \
     csv using 1:"submit_result_stored" with points pt 1 title "submit_result_stored", \
     csv using 1:"db_statusreport" with lines lw 2 title "StatusReport rows", \
     csv using 1:"report_stored" with points pt 2 title "report_stored", \
     csv using 1:"db_deliver" with lines lw 2 title "Deliver rows", \
     csv using 1:"mo_stored" with points pt 4 title "mo_stored"

set title "rows waiting in Submit"
plot csv using 1:"db_submit_waiting" with lines lw 2 title "waiting"
unset multiplot
