// A small stand-in for the Kestrel web app: it follows the program's page
// channels (start URL, WebSocket commands, signal and command buffers, the
// native `connect` object) so that the program can be run and tested without
// the real application.
"use strict";

const Kestrel = (() => {
  const SIGNAL = { state: 0, pace: 1, count: 2, first: 3 };
  const STATE = { requestOutputs: 1, deliverInputs: 2, outputsReady: 4, inputsApplied: 8 };
  const COMMAND = { status: 0, code: 4, length: 8, payload: 12, loadFile: 3, register: 253, ready: 255 };

  function waitForConnect() {
    return new Promise((resolve) => {
      const poll = () => (window.connect ? resolve(window.connect) : setTimeout(poll, 10));
      poll();
    });
  }

  function startQuery() {
    const q = new URLSearchParams(window.location.search);
    return { port: Number(q.get("port") || 8084), version: q.get("version") || "" };
  }

  // The command server connection: one request, one reply, matched by id.
  class CommandServer {
    constructor(port, onBinary) {
      this.nextId = 1;
      this.pending = new Map();
      this.onBinary = onBinary;
      this.socket = new WebSocket(`ws://127.0.0.1:${port}/`);
      this.socket.binaryType = "arraybuffer";
      this.opened = new Promise((resolve, reject) => {
        this.socket.onopen = () => {
          const reg = new Uint8Array(12);
          reg[4] = COMMAND.register;
          this.socket.send(reg.buffer);
          resolve();
        };
        this.socket.onerror = () => reject(new Error("command server unreachable"));
      });
      this.socket.onmessage = (e) => {
        if (typeof e.data === "string") {
          const reply = JSON.parse(e.data);
          const done = this.pending.get(reply.id);
          if (done) {
            this.pending.delete(reply.id);
            done(reply.data);
          }
        } else if (this.onBinary) {
          this.onBinary(new Uint8Array(e.data));
        }
      };
    }
    ask(type, data) {
      const id = this.nextId++;
      return new Promise((resolve) => {
        this.pending.set(id, resolve);
        this.socket.send(JSON.stringify({ id, type, data }));
      });
    }
  }

  // One page step on the signal buffer: outputs in, inputs out.
  class SignalStepper {
    constructor(buffer) {
      this.words = new Uint32Array(buffer);
      this.ints = new Int32Array(buffer);
      this.pace = new Float32Array(buffer, 4, 1);
    }
    async waitFor(state) {
      for (let spins = 0; Atomics.load(this.words, SIGNAL.state) !== state; ++spins) {
        if (spins > 2000) throw new Error(`exchange did not answer ${state}`);
        await new Promise((r) => setTimeout(r, 0));
      }
    }
    // Returns [{id, version, pairs: [[index, value], ...]}].
    async readOutputs() {
      this.pace[0] = 0.05;
      Atomics.store(this.words, SIGNAL.state, STATE.requestOutputs);
      await this.waitFor(STATE.outputsReady);
      const records = [];
      let w = SIGNAL.first;
      for (let r = 0, n = this.words[SIGNAL.count]; r < n; ++r) {
        const rec = { id: this.ints[w], version: this.words[w + 3], pairs: [] };
        const count = this.words[w + 4];
        w += 5;
        for (let i = 0; i < count; ++i, w += 2) rec.pairs.push([this.words[w], this.ints[w + 1]]);
        records.push(rec);
      }
      return records;
    }
    // records: [{id, version, pairs}]
    async writeInputs(records) {
      let w = SIGNAL.first;
      for (const rec of records) {
        this.ints[w] = rec.id;
        this.words[w + 1] = rec.version;
        this.words[w + 2] = rec.pairs.length;
        w += 3;
        for (const [index, value] of rec.pairs) {
          this.words[w++] = index;
          this.ints[w++] = value;
        }
      }
      this.words[SIGNAL.count] = records.length;
      Atomics.store(this.words, SIGNAL.state, STATE.deliverInputs);
      await this.waitFor(STATE.inputsApplied);
    }
  }

  // A page message that arrived through the command buffer (after 255).
  function readCommandBuffer(buffer) {
    const view = new DataView(buffer);
    const code = view.getUint32(COMMAND.code, true) & 0xff;
    const length = view.getUint32(COMMAND.length, true);
    const max = buffer.byteLength - COMMAND.payload;
    return { code, bytes: new Uint8Array(buffer, COMMAND.payload, Math.min(length, max)) };
  }

  // Modbus tag descriptors: value type in bits 49..52, area, address, bit below.
  const TYPE = { bool: 1, u8: 2, u16: 3, u32: 4, s8: 5, s16: 6, s32: 7, real: 8 };
  const AREA = { coils: 1, discreteInputs: 2, holding: 3, inputRegisters: 4 };
  function modbusTag(area, address, type, bit = 0) {
    return type * 2 ** 49 + area * 2 ** 20 + address * 16 + bit;
  }

  return { waitForConnect, startQuery, CommandServer, SignalStepper, readCommandBuffer, modbusTag, TYPE, AREA, COMMAND };
})();
