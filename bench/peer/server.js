// The peer of the side-by-side bench: a small MCP server on the official SDK doing the same
// job as the program's bookmarks and bills tools, the plain Node.js way: read the whole
// store, JSON.parse, change, JSON.stringify with two-space indentation, and save durably
// (temporary file, fsync, rename, fsync of the folder). The bills store is sealed with
// AES-256-GCM, as the program's Linux build seals its protected stores.
//
// Usage: PEER_DATA=FOLDER node server.js            serves MCP on stdio
//        node server.js --seal PLAIN SEALED KEY     seals a plain store (for the bench setup)
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { Server } from "@modelcontextprotocol/sdk/server/index.js";
import { StdioServerTransport } from "@modelcontextprotocol/sdk/server/stdio.js";
import { CallToolRequestSchema, ListToolsRequestSchema } from "@modelcontextprotocol/sdk/types.js";

function seal(plain, key) {
  const nonce = crypto.randomBytes(12);
  const cipher = crypto.createCipheriv("aes-256-gcm", key, nonce);
  const body = Buffer.concat([cipher.update(plain), cipher.final()]);
  return Buffer.concat([nonce, cipher.getAuthTag(), body]);
}

function unseal(sealed, key) {
  const decipher = crypto.createDecipheriv("aes-256-gcm", key, sealed.subarray(0, 12));
  decipher.setAuthTag(sealed.subarray(12, 28));
  return Buffer.concat([decipher.update(sealed.subarray(28)), decipher.final()]);
}

function durableWrite(file, bytes) {
  const folder = path.dirname(file);
  const temp = path.join(folder, `.write-${process.hrtime.bigint()}-${process.pid}.tmp`);
  const fd = fs.openSync(temp, "wx", 0o600);
  try {
    fs.writeSync(fd, bytes);
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
  fs.renameSync(temp, file);
  const dir = fs.openSync(folder, "r");
  try {
    fs.fsyncSync(dir);
  } finally {
    fs.closeSync(dir);
  }
}

class Store {
  constructor(app) {
    this.folder = path.join(process.env.PEER_DATA, app);
    this.sealed = app === "bills";
    this.file = path.join(this.folder, this.sealed ? "records.enc" : "records.json");
    this.app = app;
  }
  key() {
    return fs.readFileSync(path.join(this.folder, "key"));
  }
  load() {
    if (!fs.existsSync(this.file)) return { app: this.app, records: [], schema: 1, undo: null };
    const bytes = fs.readFileSync(this.file);
    return JSON.parse((this.sealed ? unseal(bytes, this.key()) : bytes).toString("utf8"));
  }
  save(doc) {
    const text = Buffer.from(JSON.stringify(doc, null, 2), "utf8");
    durableWrite(this.file, this.sealed ? seal(text, this.key()) : text);
  }
}

function append(app, args) {
  const store = new Store(app);
  const doc = store.load();
  const now = Math.floor(Date.now() / 1000);
  const record = { archived: false, createdAt: now, id: `${app}-${process.hrtime.bigint()}-${process.pid}`,
                   updatedAt: now, version: 1, ...args };
  doc.records.push(record);
  store.save(doc);
  return app === "bills" ? { bill: record, duplicate: false } : record;
}

function search(args) {
  const doc = new Store("bookmarks").load();
  const query = (args.query ?? "").toLowerCase();
  const found = doc.records.filter((r) => !r.archived && (!query ||
    [r.title, r.url, r.note ?? ""].some((text) => text.toLowerCase().includes(query))));
  return { limit: 30, records: found.slice(0, args.limit ?? 30), total: found.length };
}

const tools = {
  save_bookmark: (args) => append("bookmarks", args),
  search_bookmarks: search,
  save_bill: (args) => append("bills", args),
};

if (process.argv[2] === "--seal") {
  const [plain, sealed, keyFile] = process.argv.slice(3);
  if (!fs.existsSync(keyFile)) fs.writeFileSync(keyFile, crypto.randomBytes(32), { mode: 0o600 });
  fs.writeFileSync(sealed, seal(fs.readFileSync(plain), fs.readFileSync(keyFile)));
} else {
  const server = new Server({ name: "bench-peer", version: "0.1.0" }, { capabilities: { tools: {} } });
  server.setRequestHandler(ListToolsRequestSchema, async () => ({
    tools: Object.keys(tools).map((name) => ({ name, inputSchema: { type: "object" } })),
  }));
  server.setRequestHandler(CallToolRequestSchema, async (request) => {
    const run = tools[request.params.name];
    if (!run) return { content: [{ type: "text", text: "Unknown tool" }], isError: true };
    try {
      const result = run(request.params.arguments ?? {});
      return { content: [{ type: "text", text: JSON.stringify(result) }], structuredContent: result };
    } catch (error) {
      return { content: [{ type: "text", text: String(error.message) }], isError: true };
    }
  });
  await server.connect(new StdioServerTransport());
}
