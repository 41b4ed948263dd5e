;; trace words
trace SESSION, PARMS;
TRACEM
  TOTALS;
show_row SESSION;
end;
