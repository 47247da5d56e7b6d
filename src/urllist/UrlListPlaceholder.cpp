// Replaced by the list-file code.
