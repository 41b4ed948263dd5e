;; Cursors of the demo collector over the bundled SQLite database.
cursor DBSTATS;
  interval 10;
  limit 1;
  history;
  INSERT INTO db_stats (name, version, uptime_s, commits, rollbacks)
         VALUES (:name, :version, :INT!uptime_s, :INT!commits, :INT!rollbacks);
cursor SESSIONS;
  interval 10;
  limit 200;
  history;
  INSERT INTO sessions (sid, username, program, status, cpu_s)
         VALUES (:INT!sid, :username, :program, :status, :FLOAT!cpu_s);
cursor TBLSPACE;
  interval 30;
  limit 50;
  INSERT INTO tablespaces (name, size_mb, used_mb)
         VALUES (:name, :INT!size_mb, :INT!used_mb);
cursor PARAMS;
  demand;
  INSERT INTO settings (name, value) VALUES (:name, :value);
end;
