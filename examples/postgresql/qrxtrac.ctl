;; Trace words, one per line (for example "trace PGSTAT;"): none by default.
