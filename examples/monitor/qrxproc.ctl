;; Distributors of the monitor example: collection every 5 seconds and the
;; agent's request server polled every second.
process collector;
  type local;
  logon_id demo;
  interval 5;
process rqs;
  type local;
  interval 1;
end;
