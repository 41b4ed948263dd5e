;; No tracing in the comparison.
end;
