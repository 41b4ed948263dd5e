;; Evaluations of the demo collector: each names a cursor, one of its
;; columns, an operator and a threshold. The evaluator writes the rows that
;; match into the message log ("cev1760" and the row), and, as the evaluator
;; process has send_false, the row that stopped matching.
;;
;; An active session past 45 CPU seconds: session 23 starts at 41.75 and
;; grows by about 0.75 a second, so it crosses during the demo.
eval HOTSESS;
  cursor SESSIONS;
  column cpu_s;
  operator >;
  value 45;
end;
