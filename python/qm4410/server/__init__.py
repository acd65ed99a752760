"""`qm4410 serve`: one supply, many clients. The server holds the supply's
port and serves it in the supply's own protocol over RFC 2217 and as a SCPI
instrument over a raw TCP socket."""
