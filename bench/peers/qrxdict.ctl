;; No named values are needed by the comparison's cursors.
end;
