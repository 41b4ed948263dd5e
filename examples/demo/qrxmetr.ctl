;; Metrics that qrxexport serves for the demo collector (one "cursor" block
;; per cursor asked for at each scrape). Numeric columns become samples named
;; qrx_<cursor>_<column>, text columns labels, unless "metric", "label" or
;; "drop" says otherwise. "scale" multiplies a column into base units.
listen 127.0.0.1:9571;
cursor DBSTATS;
  metric uptime_s gauge name qrx_demo_uptime_seconds help "Seconds since the demo server started";
  metric commits counter name qrx_demo_commits help "Transactions committed";
  metric rollbacks counter name qrx_demo_rollbacks help "Transactions rolled back";
  metric COMMITPCT gauge name qrx_demo_commit_percent help "Share of transactions committed, percent";
cursor SESSIONS;
  label sid;
  metric cpu_s counter name qrx_demo_session_cpu_seconds help "CPU seconds of the session";
cursor TOPUSER;
  metric cpu_s name qrx_demo_top_user_cpu_seconds help "CPU seconds of the user with the most";
cursor TBLSPACE;
  metric size_mb scale 1048576 name qrx_demo_tablespace_size_bytes help "Size of the tablespace";
  metric used_mb scale 1048576 name qrx_demo_tablespace_used_bytes help "Space used in the tablespace";
  metric PCTUSED gauge name qrx_demo_tablespace_used_percent help "Share of the tablespace used, percent";
end;
