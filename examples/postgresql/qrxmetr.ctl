;; Metrics that qrxexport serves for the PostgreSQL collector, named as
;; postgres_exporter names the same figures where it has them, so that
;; dashboards and alerts carry over. Every scrape asks for these cursors;
;; numeric columns not mapped here are gauges named qrx_<cursor>_<column>,
;; text columns labels.
listen 127.0.0.1:9571;
;; pg_stat_database of the monitored database.
cursor PGSTAT;
  metric numbackends name pg_stat_database_numbackends help "Backends connected to the database";
  metric xact_commit counter name pg_stat_database_xact_commit help "Transactions committed";
  metric xact_rollback counter name pg_stat_database_xact_rollback help "Transactions rolled back";
  metric blks_read counter name pg_stat_database_blks_read help "Disk blocks read";
  metric blks_hit counter name pg_stat_database_blks_hit help "Disk blocks found in the buffer cache";
  metric tup_returned counter name pg_stat_database_tup_returned help "Rows returned by queries";
  metric tup_fetched counter name pg_stat_database_tup_fetched help "Rows fetched by queries";
  metric tup_inserted counter name pg_stat_database_tup_inserted help "Rows inserted";
  metric tup_updated counter name pg_stat_database_tup_updated help "Rows updated";
  metric tup_deleted counter name pg_stat_database_tup_deleted help "Rows deleted";
  metric deadlocks counter name pg_stat_database_deadlocks help "Deadlocks detected";
  metric HITPCT gauge name qrx_pg_stat_database_cache_hit_percent help "Share of block reads found in the buffer cache, percent";
;; Client sessions of the whole server and the connection limit.
cursor PGCONN;
  metric sessions name pg_stat_activity_client_sessions help "Client sessions";
  metric active name pg_stat_activity_active_sessions help "Client sessions running a statement";
  metric max_connections name pg_settings_max_connections help "Connection limit of the server";
;; The oldest open transaction per session: pid, user, application and state as labels.
cursor PGSESS;
  label pid;
  metric xact_seconds name pg_stat_activity_xact_age_seconds help "Age of the session's open transaction";
;; Locks by kind, mode and granted.
cursor PGLOCKS;
  metric locks name pg_locks help "Locks held or awaited";
end;
