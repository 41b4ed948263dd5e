;; Named values: the data source the collector serves.
name SERVER;
  type char(64);
  initial -rdbms UNKNOWN;
name PGSTATE;
  type char(16);
name PGRC;
  type integer;
name PGMAJOR;
  type integer;
  initial -dbversion 0;
end;
