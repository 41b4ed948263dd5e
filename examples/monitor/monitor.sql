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
  ('buffer_0', 'bufgrab_dirty_2k', 6);
-- Sample 1 holds arbitrary starting values, sample 2 those plus the deltas.
INSERT INTO counters SELECT 1, groupname, fldname, 1000 + length(fldname) * 37 FROM deltas;
INSERT INTO counters SELECT 2, d.groupname, d.fldname, c.fldvalue + d.delta
  FROM deltas d JOIN counters c ON c.sample = 1 AND c.groupname = d.groupname AND c.fldname = d.fldname;
DROP TABLE deltas;
CREATE TABLE cachemap (CACHENAME TEXT, BUFFERNAME TEXT);
INSERT INTO cachemap VALUES ('default data cache', 'buffer_0');
