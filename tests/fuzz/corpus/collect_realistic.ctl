;; Cursors of a monitored server: sessions, a virtual total, parameters on
;; demand and a script exit.
cursor SESSION;
  interval 60;
  limit 500;
  history;
  class 3;
  mon_fri_start 0800;
  mon_fri_end 1800;
  mon_fri_start 2200;
  mon_fri_end 0600;
  INSERT INTO SYS.V_SESSION (SID, USERNAME, STATUS, CPU)
         VALUES (:INT!sid, :username, :status, :FLOAT!AVG!cpu^10);
  insert_where STATUS = 'ACTIVE';
  decode STATUS = 'A', 'ACTIVE';
  math decimal 1 PCT ( cpu * 100 ) / 60;
  load SUM cpu -> TOTALS.TOTAL;
  uuidbase 12345678-1234-1234-1234-123456789012;
cursor TOTALS;
  virtual;
  INSERT INTO TOTALS (TOTAL) VALUES (:INT!total);
cursor PARMS;
  Demand;
  stale 300;
  INSERT INTO V_PARAMETER (NAME, VALUE) VALUES (:name, :value);
  table_name V$PARAMETER;
cursor SCRIPTED;
  fetch_exit fetchx1t60;
  script /usr/bin/probe [name;
  insert_select SELECT A, B FROM X;
  INSERT INTO X (A, B) VALUES (:A, :B);
  time 30;
  saturday_start 0900;
  saturday_end 1200;
end;
