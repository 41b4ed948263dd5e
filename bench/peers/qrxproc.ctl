;; Distributors of the collector in the peer comparison: every cursor every
;; 5 seconds, requests served every second; the session is kept between
;; collections (continuous), as the exporters keep theirs.
process collector;
  type local;
  interval 5;
  continuous YES;
process rqs;
  type local;
  interval 1;
end;
