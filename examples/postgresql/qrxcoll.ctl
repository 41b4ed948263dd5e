;; Cursors of a collector beside one PostgreSQL server, reached through ODBC.
;; A complete SELECT names each column as its host variable ("AS name"):
;; rows are assembled by name. The SQL may not hold ";", ":" (it marks host
;; variables: write CAST(x AS t), never x::t) or "[" (it opens a reference
;; to another cursor's value).
;;
;; Texts carry an agent width ("^64"), numbers go as binary integers ("INT!",
;; "INT64!"): the rows have a fixed layout that qrxprobe can read.
;;
;; The server's major version as the conditional sections below read it:
;; from COLL_DBVERSION (0 when not set) until PGDB has loaded the server's own.
cursor PGINFO;
  virtual;
  INSERT INTO pginfo (pgmajor) VALUES (:PGMAJOR);
;; The database the session is connected to. Its oid feeds the WHERE clauses
;; of the cursors below, which come later in this file and so run after it.
cursor PGDB;
  interval 300;
  limit 1;
  insert_select SELECT CAST(oid AS bigint) AS oid, CAST(datname AS varchar(64)) AS datname,
                CAST(pg_encoding_to_char(encoding) AS varchar(16)) AS encoding,
                CAST(current_setting('server_version') AS varchar(32)) AS server_version,
                CAST(current_setting('server_version_num') AS integer) / 10000 AS major
                FROM pg_database WHERE datname = current_database();
  INSERT INTO pg_database (oid, datname, encoding, server_version, major)
         VALUES (:INT64!oid, :datname^64, :encoding^16, :server_version^32, :INT!major);
  load major -> PGINFO.PGMAJOR;
;; Statistics of that database, every 30 seconds, kept in PGSTAT.HST, with
;; the buffer cache hit ratio computed from two of the counters.
cursor PGSTAT;
  interval 30;
  limit 1;
  history;
  insert_where datid = [PGDB.oid;
  INSERT INTO pg_stat_database (datname, numbackends, xact_commit, xact_rollback,
         blks_read, blks_hit, tup_returned, tup_fetched, tup_inserted,
         tup_updated, tup_deleted, deadlocks, hitpct)
         VALUES (:datname^64, :INT!numbackends, :INT64!xact_commit,
         :INT64!xact_rollback, :INT64!blks_read, :INT64!blks_hit,
         :INT64!tup_returned, :INT64!tup_fetched, :INT64!tup_inserted,
         :INT64!tup_updated, :INT64!tup_deleted, :INT64!deadlocks, :HITPCT^8);
  math decimal 2 HITPCT blks_hit * 100 / ( blks_hit + blks_read );
;; Checkpoints and buffers written: PostgreSQL 17 moved the checkpoint
;; counters from pg_stat_bgwriter to pg_stat_checkpointer. The version is
;; chosen before every collection from PGINFO.PGMAJOR.
cursor PGCKPT;
  interval 30;
  limit 1;
  if PGINFO.PGMAJOR >= 17;
    insert_select SELECT CAST('checkpointer' AS varchar(16)) AS source,
                  CAST(num_timed AS bigint) AS timed, CAST(num_requested AS bigint) AS requested,
                  CAST(buffers_written AS bigint) AS buffers
                  FROM pg_stat_checkpointer;
  else;
    insert_select SELECT CAST('bgwriter' AS varchar(16)) AS source,
                  CAST(checkpoints_timed AS bigint) AS timed,
                  CAST(checkpoints_req AS bigint) AS requested,
                  CAST(buffers_checkpoint AS bigint) AS buffers
                  FROM pg_stat_bgwriter;
  endif;
  INSERT INTO checkpoints (source, timed, requested, buffers)
         VALUES (:source^16, :INT64!timed, :INT64!requested, :INT64!buffers);
;; Client sessions against the whole server and the connection limit.
cursor PGCONN;
  interval 30;
  limit 1;
  history;
  insert_select SELECT CAST(count(*) AS integer) AS sessions,
                CAST(coalesce(sum(CASE WHEN state = 'active' THEN 1 ELSE 0 END), 0) AS integer)
                AS active,
                CAST(current_setting('max_connections') AS integer) AS max_connections
                FROM pg_stat_activity WHERE backend_type = 'client backend';
  INSERT INTO pg_stat_activity (sessions, active, max_connections)
         VALUES (:INT!sessions, :INT!active, :INT!max_connections);
;; The sessions of the database, longest-running transaction first.
;; "samples 1": a cursor keeps the rows of earlier runs up to its limit
;; unless told otherwise, and would answer with every earlier run's sessions
;; again; it keeps only the last run's rows.
cursor PGSESS;
  interval 30;
  limit 500;
  samples 1;
  insert_select SELECT pid, CAST(usename AS varchar(64)) AS usename,
                CAST(application_name AS varchar(64)) AS application_name,
                CAST(coalesce(state, '') AS varchar(32)) AS state,
                CAST(coalesce(extract(epoch FROM now() - xact_start), 0) AS integer)
                AS xact_seconds
                FROM pg_stat_activity WHERE datid = [PGDB.oid
                ORDER BY 5 DESC, 1;
  INSERT INTO pg_stat_activity (pid, usename, application_name, state, xact_seconds)
         VALUES (:INT!pid, :usename^64, :application_name^64, :state^32,
         :INT!xact_seconds);
;; The databases with more client sessions than the threshold (0 here: any
;; database in use; raise it to watch only the busy ones). Their names form
;; the in-list NAMES, rebuilt after every run: ( 'postgres' , 'sales' ).
cursor PGBUSYDB;
  interval 30;
  limit 100;
  samples 1;
  in_list datname using NAMES;
  insert_select SELECT CAST(datname AS varchar(64)) AS datname,
                CAST(count(*) AS integer) AS sessions
                FROM pg_stat_activity
                WHERE backend_type = 'client backend' AND datname IS NOT NULL
                GROUP BY datname HAVING count(*) > 0 ORDER BY 1;
  INSERT INTO pg_stat_activity (datname, sessions) VALUES (:datname^64, :INT!sessions);
;; Per busy database: its sessions, the active ones and the longest open
;; transaction, selected with IN over PGBUSYDB's list.
cursor PGDBSESS;
  interval 30;
  limit 100;
  samples 1;
  insert_select SELECT CAST(datname AS varchar(64)) AS datname,
                CAST(count(*) AS integer) AS sessions,
                CAST(coalesce(sum(CASE WHEN state = 'active' THEN 1 ELSE 0 END), 0) AS integer)
                AS active,
                CAST(coalesce(max(extract(epoch FROM now() - xact_start)), 0) AS integer)
                AS longest_xact
                FROM pg_stat_activity WHERE datname IN [PGBUSYDB.NAMES
                GROUP BY datname ORDER BY 1;
  INSERT INTO pg_stat_activity (datname, sessions, active, longest_xact)
         VALUES (:datname^64, :INT!sessions, :INT!active, :INT!longest_xact);
;; Locks held or awaited in the database, by kind; the last run's only.
cursor PGLOCKS;
  interval 30;
  limit 200;
  samples 1;
  insert_select SELECT CAST(locktype AS varchar(16)) AS locktype, CAST(mode AS varchar(32)) AS mode,
                CAST(CASE WHEN granted THEN 'Y' ELSE 'N' END AS varchar(1)) AS granted,
                CAST(count(*) AS integer) AS locks
                FROM pg_locks WHERE database = [PGDB.oid
                GROUP BY 1, 2, 3 ORDER BY 1, 2, 3;
  INSERT INTO pg_locks (locktype, mode, granted, locks)
         VALUES (:locktype^16, :mode^32, :granted^1, :INT!locks);
;; The settings that size the server, every 5 minutes; the last run's only.
cursor PGSETS;
  interval 300;
  limit 50;
  samples 1;
  insert_select SELECT CAST(name AS varchar(64)) AS name, CAST(setting AS varchar(64)) AS setting,
                CAST(coalesce(unit, '') AS varchar(8)) AS unit
                FROM pg_settings WHERE name IN ('max_connections', 'shared_buffers',
                'work_mem', 'maintenance_work_mem', 'effective_cache_size',
                'max_wal_size', 'checkpoint_timeout', 'autovacuum')
                ORDER BY 1;
  INSERT INTO pg_settings (name, setting, unit) VALUES (:name^64, :setting^64, :unit^8);
;; One setting, on request, named by the request's first parameter:
;;   qrxprobe get PGSET work_mem
cursor PGSET;
  demand;
  insert_select SELECT CAST(name AS varchar(64)) AS name, CAST(setting AS varchar(64)) AS setting,
                CAST(coalesce(unit, '') AS varchar(8)) AS unit,
                CAST(context AS varchar(20)) AS context,
                CAST(short_desc AS varchar(120)) AS short_desc
                FROM pg_settings WHERE name = '![%parm0';
  INSERT INTO pg_settings (name, setting, unit, context, short_desc)
         VALUES (:name^64, :setting^64, :unit^8, :context^20,
         :short_desc^120);
;; Whether the server accepts connections, as pg_isready sees it from this
;; host: a fetch exit (a program whose output lines are the rows), found on
;; COLL_BINPATH (point it at examples/postgresql/exits). The server is the
;; one PGHOST and PGPORT name in the collector's environment. Ended after 10
;; seconds at most; a failing check fails the cursor's run.
cursor PGREADY;
  interval 30;
  limit 1;
  history;
  fetch_exit fetchx2t10;
  script qrx_pg_ready;
  insert_select SELECT PGSTATE, PGRC FROM pg_isready;
  INSERT INTO pg_isready (pgstate, pgrc) VALUES (:pgstate^16, :INT!pgrc);
end;
