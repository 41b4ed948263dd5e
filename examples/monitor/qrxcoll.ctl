;; Monitor counters from the example database (monitor.sql), and the cursors
;; the built-in procedures derive per-interval figures from them with.
;; Cursors run in file order: the counter cursors come first.
;;
;; One row per counter: the difference between the two samples.
cursor SYSMON;
  interval 5;
  limit 1000;
  samples 1;
  insert_select SELECT b.groupname AS GROUPNAME, b.fldname AS FLDNAME,
                b.fldvalue - a.fldvalue AS FLDVALUE
                FROM counters a JOIN counters b ON a.sample = 1 AND b.sample = 2
                AND a.groupname = b.groupname AND a.fldname = b.fldname ORDER BY 1, 2;
  INSERT INTO counters (GROUPNAME, FLDNAME, FLDVALUE) VALUES (:GROUPNAME^24, :FLDNAME^32, :FLDVALUE^12);
;; The interval: start and stop as seconds of the day (a stop below the start
;; has crossed midnight).
cursor XMBV;
  interval 5;
  limit 1;
  samples 1;
  insert_select SELECT a.secs AS STARTTIME, b.secs AS STOPTIME FROM samples a, samples b WHERE a.sample = 1 AND b.sample = 2;
  INSERT INTO samples (STARTTIME, STOPTIME) VALUES (:STARTTIME^8, :STOPTIME^8);
;; Data caches and the counter group of each.
cursor CACHEMAP;
  interval 5;
  limit 50;
  samples 1;
  INSERT INTO cachemap (CACHENAME, BUFFERNAME) VALUES (:CACHENAME^30, :BUFFERNAME^24);
;; One row per data cache: searches, hits, misses, LRU and MRU unkeeps,
;; prefetches done and denied, large-I/O grabs and references; each per
;; second, per transaction, count and (but searches and grabs) percent.
cursor XMBCACD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBCACD;
  insert_select SELECT CACHE, SRCH_S, SRCH_X, SRCH_N, HIT_S, HIT_X, HIT_N, HIT_P, MISS_S, MISS_X, MISS_N, MISS_P, LRU_S, LRU_X, LRU_N, LRU_P, MRU_S, MRU_X, MRU_N, MRU_P, PF_S, PF_X, PF_N, PF_P, PFD_S, PFD_X, PFD_N, PFD_P, GRAB_S, GRAB_X, GRAB_N, REF_S, REF_X, REF_N, REF_P FROM xmbcacd;
  INSERT INTO xmbcacd (cache, srch_s, srch_x, srch_n, hit_s, hit_x, hit_n, hit_p, miss_s, miss_x, miss_n, miss_p, lru_s, lru_x, lru_n, lru_p, mru_s, mru_x, mru_n, mru_p, pf_s, pf_x, pf_n, pf_p, pfd_s, pfd_x, pfd_n, pfd_p, grab_s, grab_x, grab_n, ref_s, ref_x, ref_n, ref_p)
         VALUES (:cache^30, :srch_s^10, :srch_x^10, :srch_n^10, :hit_s^10, :hit_x^10, :hit_n^10, :hit_p^10, :miss_s^10, :miss_x^10, :miss_n^10, :miss_p^10, :lru_s^10, :lru_x^10, :lru_n^10, :lru_p^10, :mru_s^10, :mru_x^10, :mru_n^10, :mru_p^10, :pf_s^10, :pf_x^10, :pf_n^10, :pf_p^10, :pfd_s^10, :pfd_x^10, :pfd_n^10, :pfd_p^10, :grab_s^10, :grab_x^10, :grab_n^10, :ref_s^10, :ref_x^10, :ref_n^10, :ref_p^10);
;; One row per kind of SQL activity: per second, per transaction, count,
;; percent of the total activity.
cursor XMBSQLD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBSQLD;
  insert_select SELECT ITEM, PER_S, PER_X, CNT, PCT FROM xmbsqld;
  INSERT INTO xmbsqld (item, per_s, per_x, cnt, pct)
         VALUES (:item^30, :per_s^10, :per_x^10, :cnt^10, :pct^10);
end;
