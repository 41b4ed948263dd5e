;; Cursors of the demo collector over the bundled SQLite database.
;;
;; Server totals, every 5 seconds, kept in DBSTATS.HST.
cursor DBSTATS;
  interval 5;
  limit 1;
  history;
  INSERT INTO db_stats (name, version, uptime_s, commits, rollbacks)
         VALUES (:name, :version, :uptime_s, :commits, :rollbacks);
;; Every session, every 5 seconds, kept in SESSIONS.HST; the session id is
;; sent as a binary integer and the CPU seconds as a binary float.
cursor SESSIONS;
  interval 5;
  limit 200;
  history;
  INSERT INTO sessions (sid, username, program, status, cpu_s)
         VALUES (:INT!sid, :username, :program, :status, :FLOAT!cpu_s);
;; The user with the most CPU seconds: a complete SELECT of its own.
cursor TOPUSER;
  interval 5;
  limit 1;
  insert_select SELECT username, SUM(cpu_s) FROM sessions
                GROUP BY username ORDER BY 2 DESC, 1 LIMIT 1;
  INSERT INTO top_user (username, cpu_s) VALUES (:username, :cpu_s);
;; That user's sessions: the user name comes from TOPUSER's last row
;; (TOPUSER runs first, being earlier in this file).
cursor TOPSESS;
  interval 5;
  limit 50;
  insert_where username = [TOPUSER.username ORDER BY cpu_s DESC;
  INSERT INTO sessions (sid, program, status, cpu_s)
         VALUES (:sid, :program, :status, :cpu_s);
;; Space per tablespace, every 15 seconds.
cursor TBLSPACE;
  interval 15;
  limit 50;
  INSERT INTO tablespaces (name, size_mb, used_mb)
         VALUES (:name, :INT!size_mb, :INT!used_mb);
;; All settings, fetched when the agent asks and reused for 30 seconds.
cursor PARAMS;
  demand;
  stale 30;
  INSERT INTO settings (name, value) VALUES (:name, :value);
;; One setting, named by the request's first parameter:
;;   qrxprobe get SETTING max_connections
cursor SETTING;
  demand;
  insert_where name = '![%parm0';
  INSERT INTO settings (name, value) VALUES (:name, :value);
end;
