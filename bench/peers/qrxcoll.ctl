;; The four queries of the peer comparison (the exporters' files in this
;; directory run the same ones): per-database statistics, sessions by state,
;; locks by mode and ten settings, every 5 seconds.
cursor PDBSTAT;
  interval 5;
  limit 100;
  samples 1;
  insert_select SELECT CAST(datname AS varchar(64)) AS datname, numbackends,
                xact_commit, xact_rollback, blks_read, blks_hit, tup_returned,
                tup_fetched, tup_inserted, tup_updated, tup_deleted, deadlocks
                FROM pg_stat_database WHERE datname IS NOT NULL;
  INSERT INTO pg_stat_database (datname, numbackends, xact_commit, xact_rollback,
         blks_read, blks_hit, tup_returned, tup_fetched, tup_inserted,
         tup_updated, tup_deleted, deadlocks)
         VALUES (:datname^64, :INT!numbackends, :INT64!xact_commit,
         :INT64!xact_rollback, :INT64!blks_read, :INT64!blks_hit,
         :INT64!tup_returned, :INT64!tup_fetched, :INT64!tup_inserted,
         :INT64!tup_updated, :INT64!tup_deleted, :INT64!deadlocks);
cursor PSESS;
  interval 5;
  limit 20;
  samples 1;
  insert_select SELECT CAST(coalesce(state, 'none') AS varchar(32)) AS state,
                CAST(count(*) AS integer) AS sessions
                FROM pg_stat_activity GROUP BY 1;
  INSERT INTO pg_stat_activity (state, sessions) VALUES (:state^32, :INT!sessions);
cursor PLOCKS;
  interval 5;
  limit 20;
  samples 1;
  insert_select SELECT CAST(mode AS varchar(32)) AS mode, CAST(count(*) AS integer) AS locks
                FROM pg_locks GROUP BY 1;
  INSERT INTO pg_locks (mode, locks) VALUES (:mode^32, :INT!locks);
cursor PSETS;
  interval 5;
  limit 20;
  samples 1;
  insert_select SELECT CAST(name AS varchar(64)) AS name,
                CAST(setting AS double precision) AS value
                FROM pg_settings WHERE name IN ('max_connections', 'shared_buffers',
                'work_mem', 'maintenance_work_mem', 'effective_cache_size',
                'max_wal_size', 'min_wal_size', 'checkpoint_timeout',
                'autovacuum_naptime', 'max_worker_processes');
  INSERT INTO pg_settings (name, value) VALUES (:name^64, :FLOAT!value);
end;
