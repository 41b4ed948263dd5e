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
;; The busiest users (more than 15 CPU seconds over their sessions). Their
;; names form the in-list NAMES, rebuilt after every run: ( 'APP' , 'SYS' ).
cursor BUSYUSR;
  interval 5;
  limit 20;
  samples 1;
  in_list username using NAMES;
  insert_select SELECT username, SUM(cpu_s) AS cpu_s FROM sessions
                GROUP BY username HAVING SUM(cpu_s) > 15 ORDER BY 1;
  INSERT INTO busy_users (username, cpu_s) VALUES (:username^12, :FLOAT!cpu_s);
;; The sessions of those users, selected with IN over BUSYUSR's list; each
;; row is joined to its user's BUSYUSR row (base), whose total it shows, and
;; the program name is cut to its first 6 characters (column exit).
cursor BUSYSESS;
  interval 5;
  limit 50;
  samples 1;
  insert_select SELECT sid, username, program FROM sessions
                WHERE username IN [BUSYUSR.NAMES ORDER BY sid;
  base BUSYUSR on username -> username;
  column_exit program SUBSTR ( 1 , 6 );
  INSERT INTO busy_sessions (sid, username, program, user_cpu)
         VALUES (:INT!sid, :username^12, :program^6, :FLOAT!BUSYUSR.cpu_s);
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
;; Rows from outside programs (fetch exits), found on COLL_BINPATH
;; (scripts/demo points it at examples/demo/exits). The insert_select names
;; the dictionary elements the program's columns are; its columns follow.
;; File systems, one line of words per mount point.
cursor DISKS;
  interval 15;
  limit 50;
  history;
  fetch_exit fetchx2t10;
  script qrx_disks;
  insert_select SELECT MOUNT, KBYTES, USEDKB FROM df;
  INSERT INTO disks (mount, kbytes, usedkb)
         VALUES (:mount^24, :INT!kbytes, :INT!usedkb);
;; Load averages, tab-separated.
cursor LOADAVG;
  interval 5;
  limit 3;
  samples 1;
  fetch_exit fetchx3t10;
  script qrx_loadavg;
  insert_select SELECT PERIOD, LOADAVG FROM loadavg;
  INSERT INTO loadavg (period, loadavg) VALUES (:period^8, :loadavg^8);
;; The uptime line as one value.
cursor UPTIME;
  interval 15;
  limit 1;
  fetch_exit fetchx5t10;
  script qrx_uptime;
  insert_select SELECT UPLINE FROM uptime;
  INSERT INTO uptime (upline) VALUES (:upline^72);
end;
