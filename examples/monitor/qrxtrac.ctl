;; Trace words, one per line (for example "trace DBSTATS;"): none by default.
