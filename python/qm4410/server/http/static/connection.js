// A supply's WebSocket: the hello (with the control token, if any), the
// server's messages handed on by their type, requests answered by their id,
// and a new connection after one is lost.

const RETRY_FIRST_MS = 1000;
const RETRY_MOST_MS = 5000;
const POLICY_VIOLATION = 1008;

export function socketUrl(path) {
  const url = new URL(path, window.location.href);
  url.protocol = url.protocol === "https:" ? "wss:" : "ws:";
  return url.href;
}

// handlers: hello(message), reading(message), state(words, kind) where kind
// is "open", "lost" or "refused" (the server closed it for a reason of
// policy: a wrong token, say).
export class Connection {
  constructor(url, handlers) {
    this.url = url;
    this.handlers = handlers;
    this.token = null;
    this.pending = new Map();
    this.nextId = 1;
    this.retryMs = RETRY_FIRST_MS;
    this.retry = null;
    this.open();
  }

  open() {
    clearTimeout(this.retry);
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      const hello = { type: "hello" };
      if (this.token) hello.token = this.token;
      socket.send(JSON.stringify(hello));
    };
    socket.onmessage = (event) => {
      if (socket === this.socket) this.take(JSON.parse(event.data));
    };
    socket.onclose = (event) => {
      if (socket !== this.socket) return;
      for (const answer of this.pending.values()) answer({ type: "refused", error: "the connection was lost" });
      this.pending.clear();
      if (event.code === POLICY_VIOLATION) {
        this.token = null; // what was refused is not offered again
        this.handlers.state(event.reason || "refused", "refused");
      } else {
        this.handlers.state("connection lost: trying again", "lost");
      }
      this.retry = setTimeout(() => this.open(), this.retryMs);
      this.retryMs = Math.min(this.retryMs * 2, RETRY_MOST_MS);
    };
  }

  take(message) {
    if (message.type === "hello") {
      this.retryMs = RETRY_FIRST_MS;
      this.handlers.state("live", "open");
      this.handlers.hello(message);
    } else if (message.type === "reading") {
      this.handlers.reading(message);
    } else if ("id" in message && this.pending.has(message.id)) {
      this.pending.get(message.id)(message);
      this.pending.delete(message.id);
    }
  }

  // A request; resolves to the server's answer ({type: "done"} or
  // {type: "refused", error}).
  request(message) {
    if (!this.socket || this.socket.readyState !== WebSocket.OPEN) {
      return Promise.resolve({ type: "refused", error: "not connected: trying again" });
    }
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.pending.set(id, resolve);
      this.socket.send(JSON.stringify({ ...message, id }));
    });
  }

  // Connect again, offering `token` in the hello.
  reconnect(token) {
    this.token = token;
    const old = this.socket;
    this.socket = null;
    old.close(); // its handlers see it is no longer the one
    this.open();
  }
}
