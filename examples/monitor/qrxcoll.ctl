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
;; Devices and the counter group of each.
cursor SYSDEV;
  interval 5;
  limit 50;
  samples 1;
  INSERT INTO sysdev (DEVNAME, OSNAME, DISKMON) VALUES (:DEVNAME^30, :OSNAME^30, :DISKMON^24);
;; The number of engines configured.
cursor SYSCCONF;
  interval 5;
  limit 1;
  samples 1;
  insert_select SELECT NUMENG FROM sysconf;
  INSERT INTO sysconf (NUMENG) VALUES (:NUMENG^6);
;; The engines online and their connections.
cursor ENGINFO;
  interval 5;
  limit 100;
  samples 1;
  INSERT INTO enginfo (EngineNumber, Connections) VALUES (:EngineNumber^6, :Connections^10);
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
;; All data caches summed: the figures of XMBCACD without the cache name.
cursor XMBCACS;
  interval 5;
  limit 1;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBCACS;
  insert_select SELECT SRCH_S, SRCH_X, SRCH_N, HIT_S, HIT_X, HIT_N, HIT_P, MISS_S, MISS_X, MISS_N, MISS_P, LRU_S, LRU_X, LRU_N, LRU_P, MRU_S, MRU_X, MRU_N, MRU_P, PF_S, PF_X, PF_N, PF_P, PFD_S, PFD_X, PFD_N, PFD_P, GRAB_S, GRAB_X, GRAB_N, REF_S, REF_X, REF_N, REF_P FROM xmbcacs;
  INSERT INTO xmbcacs (srch_s, srch_x, srch_n, hit_s, hit_x, hit_n, hit_p, miss_s, miss_x, miss_n, miss_p, lru_s, lru_x, lru_n, lru_p, mru_s, mru_x, mru_n, mru_p, pf_s, pf_x, pf_n, pf_p, pfd_s, pfd_x, pfd_n, pfd_p, grab_s, grab_x, grab_n, ref_s, ref_x, ref_n, ref_p)
         VALUES (:srch_s^10, :srch_x^10, :srch_n^10, :hit_s^10, :hit_x^10, :hit_n^10, :hit_p^10, :miss_s^10, :miss_x^10, :miss_n^10, :miss_p^10, :lru_s^10, :lru_x^10, :lru_n^10, :lru_p^10, :mru_s^10, :mru_x^10, :mru_n^10, :mru_p^10, :pf_s^10, :pf_x^10, :pf_n^10, :pf_p^10, :pfd_s^10, :pfd_x^10, :pfd_n^10, :pfd_p^10, :grab_s^10, :grab_x^10, :grab_n^10, :ref_s^10, :ref_x^10, :ref_n^10, :ref_p^10);
;; One row per device of SYSDEV: reads, writes and both (per second, per
;; transaction, count, percent of all disks' I/O), then cache hits and misses.
cursor XMBSDEVD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBSDEVD;
  insert_select SELECT DEV, OSNAME, RD_S, RD_X, RD_N, RD_P, WR_S, WR_X, WR_N, WR_P, IO_S, IO_X, IO_N, IO_P, HITS, MISSES FROM xmbsdevd;
  INSERT INTO xmbsdevd (dev, osname, rd_s, rd_x, rd_n, rd_p, wr_s, wr_x, wr_n, wr_p, io_s, io_x, io_n, io_p, hits, misses)
         VALUES (:dev^30, :osname^30, :rd_s^10, :rd_x^10, :rd_n^10, :rd_p^10, :wr_s^10, :wr_x^10, :wr_n^10, :wr_p^10, :io_s^10, :io_x^10, :io_n^10, :io_p^10, :hits^10, :misses^10);
;; One row per engine: number, connections, busy percent, then each engine
;; counter per second, count and percent of all engines.
cursor XMBENGD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBENGD;
  insert_select SELECT ENG, CONNS, BUSY, SLEEP_S, SLEEP_N, SLEEP_P, CTXSW_S, CTXSW_N, CTXSW_P, MAXAIO_S, MAXAIO_N, MAXAIO_P, DPOLL_S, DPOLL_N, DPOLL_P, PKTIN_S, PKTIN_N, PKTIN_P, BYTEIN_S, BYTEIN_N, BYTEIN_P, PKTOUT_S, PKTOUT_N, PKTOUT_P, BYTEOUT_S, BYTEOUT_N, BYTEOUT_P FROM xmbengd;
  INSERT INTO xmbengd (eng, conns, busy, sleep_s, sleep_n, sleep_p, ctxsw_s, ctxsw_n, ctxsw_p, maxaio_s, maxaio_n, maxaio_p, dpoll_s, dpoll_n, dpoll_p, pktin_s, pktin_n, pktin_p, bytein_s, bytein_n, bytein_p, pktout_s, pktout_n, pktout_p, byteout_s, byteout_n, byteout_p)
         VALUES (:eng^6, :conns^10, :busy^10, :sleep_s^12, :sleep_n^12, :sleep_p^12, :ctxsw_s^12, :ctxsw_n^12, :ctxsw_p^12, :maxaio_s^12, :maxaio_n^12, :maxaio_p^12, :dpoll_s^12, :dpoll_n^12, :dpoll_p^12, :pktin_s^12, :pktin_n^12, :pktin_p^12, :bytein_s^12, :bytein_n^12, :bytein_p^12, :pktout_s^12, :pktout_n^12, :pktout_p^12, :byteout_s^12, :byteout_n^12, :byteout_p^12);
;; All engines: engine count, busy percent, then each counter per second,
;; per transaction and count.
cursor XMBENGS;
  interval 5;
  limit 1;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBENGS;
  insert_select SELECT ENGINES, BUSY, SLEEP_S, SLEEP_X, SLEEP_N, CTXSW_S, CTXSW_X, CTXSW_N, MAXAIO_S, MAXAIO_X, MAXAIO_N, DPOLL_S, DPOLL_X, DPOLL_N, PKTIN_S, PKTIN_X, PKTIN_N, BYTEIN_S, BYTEIN_X, BYTEIN_N, PKTOUT_S, PKTOUT_X, PKTOUT_N, BYTEOUT_S, BYTEOUT_X, BYTEOUT_N FROM xmbengs;
  INSERT INTO xmbengs (engines, busy, sleep_s, sleep_x, sleep_n, ctxsw_s, ctxsw_x, ctxsw_n, maxaio_s, maxaio_x, maxaio_n, dpoll_s, dpoll_x, dpoll_n, pktin_s, pktin_x, pktin_n, bytein_s, bytein_x, bytein_n, pktout_s, pktout_x, pktout_n, byteout_s, byteout_x, byteout_n)
         VALUES (:engines^6, :busy^10, :sleep_s^12, :sleep_x^12, :sleep_n^12, :ctxsw_s^12, :ctxsw_x^12, :ctxsw_n^12, :maxaio_s^12, :maxaio_x^12, :maxaio_n^12, :dpoll_s^12, :dpoll_x^12, :dpoll_n^12, :pktin_s^12, :pktin_x^12, :pktin_n^12, :bytein_s^12, :bytein_x^12, :bytein_n^12, :pktout_s^12, :pktout_x^12, :pktout_n^12, :byteout_s^12, :byteout_x^12, :byteout_n^12);
;; One row per lock type: per second, per transaction, count, percent of all requests.
cursor XMBLCKD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBLCKD;
  insert_select SELECT ITEM, PER_S, PER_X, CNT, PCT FROM xmblckd;
  INSERT INTO xmblckd (item, per_s, per_x, cnt, pct)
         VALUES (:item^30, :per_s^10, :per_x^10, :cnt^10, :pct^10);
;; Lock requests per second, per transaction and count; waited count and
;; percent; deadlocks; promotions to exclusive and shared table locks.
cursor XMBLCKS;
  interval 5;
  limit 1;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBLCKS;
  insert_select SELECT REQ_S, REQ_X, REQ_N, WAIT_N, WAIT_P, DEADLOCKS, PROM_EX, PROM_SH FROM xmblcks;
  INSERT INTO xmblcks (req_s, req_x, req_n, wait_n, wait_p, deadlocks, prom_ex, prom_sh)
         VALUES (:req_s^10, :req_x^10, :req_n^10, :wait_n^10, :wait_p^10, :deadlocks^10, :prom_ex^10, :prom_sh^10);
;; One row per log activity: per second, per transaction, count, percent.
cursor XMBLOGD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBLOGD;
  insert_select SELECT ITEM, PER_S, PER_X, CNT, PCT FROM xmblogd;
  INSERT INTO xmblogd (item, per_s, per_x, cnt, pct)
         VALUES (:item^30, :per_s^10, :per_x^10, :cnt^10, :pct^10);
;; Seven counts: PLC most used, log page writes, log page allocations, PLC log
;; records, PLC flushes, PLC lock calls, log semaphore requests.
cursor XMBLOGS;
  interval 5;
  limit 1;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBLOGS;
  insert_select SELECT PLC_MAX, PG_WRITES, PG_ALLOCS, PLC_RECS, PLC_FLUSH, PLC_LOCKS, LOG_SEM FROM xmblogs;
  INSERT INTO xmblogs (plc_max, pg_writes, pg_allocs, plc_recs, plc_flush, plc_locks, log_sem)
         VALUES (:plc_max^10, :pg_writes^10, :pg_allocs^10, :plc_recs^10, :plc_flush^10, :plc_locks^10, :log_sem^10);
;; One row per cause of task switches: per second, per transaction, count, percent.
cursor XMBTSKD;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBTSKD;
  insert_select SELECT ITEM, PER_S, PER_X, CNT, PCT FROM xmbtskd;
  INSERT INTO xmbtskd (item, per_s, per_x, cnt, pct)
         VALUES (:item^30, :per_s^10, :per_x^10, :cnt^10, :pct^10);
;; As XMBTSKD, with latch and PLC lock contention.
cursor XMBTSK2;
  interval 5;
  limit 50;
  samples 1;
  fetch_exit fetchxi1;
  script smon XMBTSK2;
  insert_select SELECT ITEM, PER_S, PER_X, CNT, PCT FROM xmbtsk2;
  INSERT INTO xmbtsk2 (item, per_s, per_x, cnt, pct)
         VALUES (:item^30, :per_s^10, :per_x^10, :cnt^10, :pct^10);
end;
