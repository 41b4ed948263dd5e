;; Cursors of the demo collector over the bundled SQLite database.
;;
;; Texts carry an agent width ("^12"), numbers go as binary integers ("INT!")
;; or floats ("FLOAT!"): the rows have a fixed layout that qrxprobe can read.
;;
;; Server totals, every 5 seconds, kept in DBSTATS.HST. COMMITPCT is
;; computed for every row: the share of transactions that committed.
cursor DBSTATS;
  interval 5;
  limit 1;
  history;
  INSERT INTO db_stats (name, version, uptime_s, commits, rollbacks, commitpct)
         VALUES (:name^12, :version^8, :INT!uptime_s, :INT!commits,
                 :INT!rollbacks, :COMMITPCT^6);
  math decimal 1 COMMITPCT commits * 100 / ( commits + rollbacks );
;; Every session, every 5 seconds, kept in SESSIONS.HST; only the latest
;; collection is kept, so each historian run appends that collection once.
cursor SESSIONS;
  interval 5;
  limit 200;
  samples 1;
  history;
  INSERT INTO sessions (sid, username, program, status, cpu_s)
         VALUES (:INT!sid, :username^12, :program^16, :status^8, :FLOAT!cpu_s);
;; CPU seconds over the sessions of the last collection: the agent gets one
;; row, the busiest session's user with the largest, the average and the
;; number of sessions (column functions).
cursor CPUSUM;
  interval 5;
  limit 200;
  samples 1;
  INSERT INTO sessions (username, cpu_max, cpu_avg, sessions)
         VALUES (:username^12, :MAX!cpu_s^8, :AVG!cpu_s^8, :COUNT!sid^4);
;; The user with the most CPU seconds: a complete SELECT of its own.
cursor TOPUSER;
  interval 5;
  limit 1;
  insert_select SELECT username, SUM(cpu_s) AS cpu_s FROM sessions
                GROUP BY username ORDER BY 2 DESC, 1 LIMIT 1;
  INSERT INTO top_user (username, cpu_s) VALUES (:username^12, :FLOAT!cpu_s);
;; That user's sessions: the user name comes from TOPUSER's last row
;; (TOPUSER runs first, being earlier in this file).
cursor TOPSESS;
  interval 5;
  limit 50;
  insert_where username = [TOPUSER.username ORDER BY cpu_s DESC;
  INSERT INTO sessions (sid, program, status, cpu_s)
         VALUES (:INT!sid, :program^16, :status^8, :FLOAT!cpu_s);
;; Space per tablespace, every 15 seconds, with the share used.
cursor TBLSPACE;
  interval 15;
  limit 50;
  INSERT INTO tablespaces (name, size_mb, used_mb, pctused)
         VALUES (:name^12, :INT!size_mb, :INT!used_mb, :PCTUSED^6);
  math decimal 1 PCTUSED used_mb * 100 / size_mb;
;; Sessions to watch, in two versions: while the server warms up (uptime
;; below 5 seconds in DBSTATS's last row) every session, afterwards only
;; the active ones with their CPU seconds. The version is chosen again
;; before every collection.
cursor WATCH;
  interval 5;
  limit 50;
  samples 1;
  if DBSTATS.uptime_s < 5;
    INSERT INTO sessions (sid, username, status)
           VALUES (:INT!sid, :username^12, :status^8);
  else;
    insert_where status = 'ACTIVE';
    INSERT INTO sessions (sid, username, status, cpu_s)
           VALUES (:INT!sid, :username^12, :status^8, :FLOAT!cpu_s);
  endif;
;; All settings, fetched when the agent asks and reused for 30 seconds.
cursor PARAMS;
  demand;
  stale 30;
  INSERT INTO settings (name, value) VALUES (:name^24, :value^24);
;; One setting, named by the request's first parameter:
;;   qrxprobe get SETTING max_connections
cursor SETTING;
  demand;
  insert_where name = '![%parm0';
  INSERT INTO settings (name, value) VALUES (:name^24, :value^24);
end;
