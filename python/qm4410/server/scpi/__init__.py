"""The SCPI endpoint of `qm4410 serve`."""
