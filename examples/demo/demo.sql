-- The demo server's catalogue and statistics tables.
-- WAL lets the collector read while the demo's load loop writes.
PRAGMA journal_mode = WAL;
CREATE TABLE IF NOT EXISTS db_stats (name VARCHAR2(30), version VARCHAR2(20),
  uptime_s NUMBER(10), commits NUMBER(12), rollbacks NUMBER(12));
CREATE TABLE IF NOT EXISTS sessions (sid NUMBER(6), username VARCHAR2(30),
  program VARCHAR2(48), status VARCHAR2(8), cpu_s NUMBER(10,2));
CREATE TABLE IF NOT EXISTS tablespaces (name VARCHAR2(30), size_mb NUMBER(8), used_mb NUMBER(8));
CREATE TABLE IF NOT EXISTS settings (name VARCHAR2(40), value VARCHAR2(80));
DELETE FROM db_stats; DELETE FROM sessions; DELETE FROM tablespaces; DELETE FROM settings;
INSERT INTO db_stats VALUES ('DEMO', '1.0', 0, 0, 0);
INSERT INTO sessions VALUES (1, 'SYS', 'dbwriter', 'ACTIVE', 12.5),
  (2, 'SYS', 'logwriter', 'ACTIVE', 8.25), (17, 'APP', 'orders-api', 'INACTIVE', 3.0),
  (23, 'APP', 'orders-api', 'ACTIVE', 41.75), (31, 'REPORT', 'nightly', 'INACTIVE', 0.5);
INSERT INTO tablespaces VALUES ('SYSTEM', 800, 612), ('USERS', 4096, 1320), ('TEMP', 1024, 64);
INSERT INTO settings VALUES ('max_connections', '200'), ('shared_buffers', '512MB'),
  ('log_level', 'info');
