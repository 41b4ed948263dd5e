;; Named values the cursors may use.
name SERVER;
  type char(32);
  initial -rdbms DEMO;
name MAXROWS;
  type integer;
  initial 500;
end;
