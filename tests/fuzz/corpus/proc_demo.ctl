;; Distributors of the demo collector: collection every 10 seconds, history
;; every 30 seconds and the agent's request server polled every second.
process collector;
  type local;
  logon_id demo;
  interval 10;
process historian;
  type local;
  interval 30;
process rqs;
  type local;
  interval 1;
end;
