;; Cursors of a collector beside one PostgreSQL server, reached through ODBC.
;; The SQL may not hold ";", ":" (it marks host variables: write CAST(x AS t),
;; never x::t) or "[" (it opens a reference to another cursor's value).
;;
;; The database the session is connected to. Its oid feeds the WHERE clauses
;; of the cursors below, which come later in this file and so run after it.
cursor PGDB;
  interval 300;
  limit 1;
  insert_select SELECT CAST(oid AS bigint), CAST(datname AS varchar(64)),
                CAST(pg_encoding_to_char(encoding) AS varchar(16)),
                CAST(current_setting('server_version') AS varchar(32))
                FROM pg_database WHERE datname = current_database();
  INSERT INTO pg_database (oid, datname, encoding, server_version)
         VALUES (:oid, :datname, :encoding, :server_version);
;; Statistics of that database, every 30 seconds, kept in PGSTAT.HST.
cursor PGSTAT;
  interval 30;
  limit 1;
  history;
  insert_where datid = [PGDB.oid;
  INSERT INTO pg_stat_database (datname, numbackends, xact_commit, xact_rollback,
         blks_read, blks_hit, tup_returned, tup_fetched, tup_inserted,
         tup_updated, tup_deleted, deadlocks)
         VALUES (:datname, :INT!numbackends, :INT64!xact_commit,
         :INT64!xact_rollback, :INT64!blks_read, :INT64!blks_hit,
         :INT64!tup_returned, :INT64!tup_fetched, :INT64!tup_inserted,
         :INT64!tup_updated, :INT64!tup_deleted, :INT64!deadlocks);
;; Client sessions against the whole server and the connection limit.
cursor PGCONN;
  interval 30;
  limit 1;
  history;
  insert_select SELECT CAST(count(*) AS integer),
                CAST(coalesce(sum(CASE WHEN state = 'active' THEN 1 ELSE 0 END), 0) AS integer),
                CAST(current_setting('max_connections') AS integer)
                FROM pg_stat_activity WHERE backend_type = 'client backend';
  INSERT INTO pg_stat_activity (sessions, active, max_connections)
         VALUES (:sessions, :active, :max_connections);
;; The sessions of the database, longest-running transaction first.
cursor PGSESS;
  interval 30;
  limit 500;
  insert_select SELECT pid, CAST(usename AS varchar(64)),
                CAST(application_name AS varchar(64)),
                CAST(coalesce(state, '') AS varchar(32)),
                CAST(coalesce(extract(epoch FROM now() - xact_start), 0) AS integer)
                FROM pg_stat_activity WHERE datid = [PGDB.oid
                ORDER BY 5 DESC, 1;
  INSERT INTO pg_stat_activity (pid, usename, application_name, state, xact_seconds)
         VALUES (:INT!pid, :usename, :application_name, :state, :INT!xact_seconds);
;; Locks held or awaited in the database, by kind.
cursor PGLOCKS;
  interval 30;
  limit 200;
  insert_select SELECT CAST(locktype AS varchar(16)), CAST(mode AS varchar(32)),
                CAST(CASE WHEN granted THEN 'Y' ELSE 'N' END AS varchar(1)),
                CAST(count(*) AS integer)
                FROM pg_locks WHERE database = [PGDB.oid
                GROUP BY 1, 2, 3 ORDER BY 1, 2, 3;
  INSERT INTO pg_locks (locktype, mode, granted, locks)
         VALUES (:locktype, :mode, :granted, :INT!locks);
;; The settings that size the server, every 5 minutes.
cursor PGSETS;
  interval 300;
  limit 50;
  insert_select SELECT CAST(name AS varchar(64)), CAST(setting AS varchar(64)),
                CAST(coalesce(unit, '') AS varchar(8))
                FROM pg_settings WHERE name IN ('max_connections', 'shared_buffers',
                'work_mem', 'maintenance_work_mem', 'effective_cache_size',
                'max_wal_size', 'checkpoint_timeout', 'autovacuum')
                ORDER BY 1;
  INSERT INTO pg_settings (name, setting, unit) VALUES (:name, :setting, :unit);
;; One setting, on request, named by the request's first parameter:
;;   qrxprobe get PGSET work_mem
cursor PGSET;
  demand;
  insert_select SELECT CAST(name AS varchar(64)), CAST(setting AS varchar(64)),
                CAST(coalesce(unit, '') AS varchar(8)), CAST(context AS varchar(20)),
                CAST(short_desc AS varchar(120))
                FROM pg_settings WHERE name = '![%parm0';
  INSERT INTO pg_settings (name, setting, unit, context, short_desc)
         VALUES (:name, :setting, :unit, :context, :short_desc);
end;
