;; Distributors of a collector beside one PostgreSQL server. The logon id,
;; password and data source come from the command line or the environment
;; (COLL_LOGON, COLL_PASSWORD, COLL_SERVERID); see README.md.
process collector;
  type local;
  interval 30;
process historian;
  type local;
  interval 60;
process evaluator;
  type local;
  interval 30;
  send_false YES;
process rqs;
  type local;
  interval 1;
end;
