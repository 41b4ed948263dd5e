;; Distributors of the collector in the peer comparison: every cursor every
;; 5 seconds, requests served every second.
process collector;
  type local;
  interval 5;
process rqs;
  type local;
  interval 1;
end;
