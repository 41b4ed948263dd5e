;; Evaluations of a collector beside one PostgreSQL server. The evaluator
;; writes the rows that match into the message log ("cev1760" and the row,
;; column by column), and, with send_false in qrxproc.ctl, the row that
;; stopped matching once its transaction ended.
;;
;; Sessions whose transaction has been open for more than 5 minutes.
eval LONGXACT;
  cursor PGSESS;
  column xact_seconds;
  operator >;
  value 300;
end;
