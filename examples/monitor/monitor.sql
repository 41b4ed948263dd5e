-- Monitor counters of a server, two samples ten minutes apart across
-- midnight (23:55:00 to 00:05:00, seconds of day 86100 and 300). The cursors
-- read the differences between the samples; each difference is chosen so
-- that the derived figures are round (see README.md).
CREATE TABLE samples (sample INTEGER PRIMARY KEY, secs INTEGER);
INSERT INTO samples VALUES (1, 86100), (2, 300);
CREATE TABLE counters (sample INTEGER, groupname TEXT, fldname TEXT, fldvalue INTEGER);
CREATE TABLE deltas (groupname TEXT, fldname TEXT, delta INTEGER);
INSERT INTO deltas VALUES
  ('access', 'xacts', 300),
  ('access', 'ncinsert', 120), ('access', 'cinsert', 60),
  ('access', 'deferred_update', 120), ('access', 'direct_inplace_update', 60),
  ('access', 'direct_notinplace_update', 60), ('access', 'direct_expensive_update', 0),
  ('access', 'delete', 180), ('access', 'delete_deferred', 0),
  ('buffer_0', 'bufsearch_calls', 1200), ('buffer_0', 'bufsearch_finds', 900),
  ('buffer_0', 'bufunkeep_lru', 60), ('buffer_0', 'bufunkeep_mru', 120),
  ('buffer_0', 'prefetch_req', 120), ('buffer_0', 'prefetch_as_requested', 48),
  ('buffer_0', 'prefetch_page_realigned', 12), ('buffer_0', 'bufgrab_16k', 120),
  ('buffer_0', 'bufgrab_2k', 999), ('buffer_0', 'bufgrab_ref_16K', 60),
  ('buffer_0', 'bufgrab_dirty_2k', 6), ('buffer_0', 'log_page_writes', 30),
  ('access', 'log_page_allocations', 12),
  ('lock', 'granted_EX_TAB', 50), ('lock', 'waited_EX_TAB', 10), ('lock', 'deadlock_EX_TAB', 1),
  ('lock', 'granted_SH_PAGE', 120), ('lock', 'waited_SH_PAGE', 20),
  ('lock', 'promoted_EX_TAB', 2), ('lock', 'promoted_SH_TAB', 1),
  ('xls', 'plc_maxused', 40), ('xls', 'plc_logrecs', 600), ('xls', 'plc_flush_full', 30),
  ('xls', 'plc_flush_endxact', 90), ('xls', 'plc_lock_calls', 240), ('xls', 'plc_lock_waits', 6),
  ('xls', 'log_lock_granted', 180), ('xls', 'log_lock_waited', 12),
  ('kernel', 'yields', 600),
  ('disk_0', 'total_reads', 300), ('disk_0', 'total_writes', 120),
  ('disk_0', 'p_hits', 270), ('disk_0', 'p_misses', 30),
  ('disk_1', 'total_reads', 60), ('disk_1', 'total_writes', 120),
  ('disk_1', 'p_hits', 54), ('disk_1', 'p_misses', 6),
  ('engine_0', 'clock_ticks', 6000), ('engine_0', 'cpu_ticks', 1500),
  ('engine_0', 'context_switches', 1200), ('engine_0', 'engine_sleeps', 300),
  ('engine_1', 'clock_ticks', 6000), ('engine_1', 'cpu_ticks', 600),
  ('engine_1', 'context_switches', 600), ('engine_1', 'engine_sleeps', 600),
  ('engine_0', 'max_outstanding_AIOs_engine', 0), ('engine_0', 'total_dpoll_completed_aios', 0),
  ('engine_0', 'no_packets_received', 0), ('engine_0', 'no_bytes_received', 0),
  ('engine_0', 'no_packets_sent', 0), ('engine_0', 'no_bytes_sent', 0),
  ('engine_1', 'max_outstanding_AIOs_engine', 0), ('engine_1', 'total_dpoll_completed_aios', 0),
  ('engine_1', 'no_packets_received', 0), ('engine_1', 'no_bytes_received', 0),
  ('engine_1', 'no_packets_sent', 0), ('engine_1', 'no_bytes_sent', 0);
-- Sample 1 holds arbitrary starting values, sample 2 those plus the deltas.
INSERT INTO counters SELECT 1, groupname, fldname, 1000 + length(fldname) * 37 FROM deltas;
INSERT INTO counters SELECT 2, d.groupname, d.fldname, c.fldvalue + d.delta
  FROM deltas d JOIN counters c ON c.sample = 1 AND c.groupname = d.groupname AND c.fldname = d.fldname;
DROP TABLE deltas;
CREATE TABLE cachemap (CACHENAME TEXT, BUFFERNAME TEXT);
INSERT INTO cachemap VALUES ('default data cache', 'buffer_0');
CREATE TABLE sysdev (DEVNAME TEXT, OSNAME TEXT, DISKMON TEXT);
INSERT INTO sysdev VALUES ('master', '/dev/vdb1', 'disk_0'), ('datadev1', '/dev/vdc1', 'disk_1');
CREATE TABLE sysconf (NUMENG INTEGER);
INSERT INTO sysconf VALUES (2);
CREATE TABLE enginfo (EngineNumber INTEGER, Connections INTEGER);
INSERT INTO enginfo VALUES (0, 14), (1, 9);
