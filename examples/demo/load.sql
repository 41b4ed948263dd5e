-- One second of work on the demo server: the demo's load loop runs this
-- every second so that the collected figures move.
UPDATE db_stats SET uptime_s = uptime_s + 1, commits = commits + 5 + abs(random()) % 40,
  rollbacks = rollbacks + (abs(random()) % 8 = 0);
UPDATE sessions SET cpu_s = round(cpu_s + (abs(random()) % 150) / 100.0, 2)
  WHERE status = 'ACTIVE';
UPDATE sessions SET status = CASE status WHEN 'ACTIVE' THEN 'INACTIVE' ELSE 'ACTIVE' END
  WHERE sid = 17 AND abs(random()) % 4 = 0;
UPDATE tablespaces SET used_mb = min(size_mb, used_mb + abs(random()) % 3) WHERE name = 'USERS';
