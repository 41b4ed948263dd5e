;; Distributors of the demo collector: collection every 5 seconds, history
;; every 5 seconds, the evaluator (qrxeval.ctl) every 5 seconds, also writing
;; the rows that stop matching, and the agent's request server polled every
;; second.
process collector;
  type local;
  logon_id demo;
  interval 5;
process historian;
  type local;
  interval 5;
process evaluator;
  type local;
  interval 5;
  send_false YES;
process rqs;
  type local;
  interval 1;
end;
