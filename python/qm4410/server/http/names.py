"""The paths of a site's own, which no supply's page may take, and the
port it listens on by default; importable without the web extra."""

# The metrics, the pages' scripts and a single supply's WebSocket.
RESERVED_PATHS = ("metrics", "static", "ws")
DEFAULT_PORT = 8080
